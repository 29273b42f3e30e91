# The two commands of the README, and a few conveniences.
.PHONY: demo test setup build native dlls release package fuzz bench clean

demo: setup
	@scripts/demo.sh

test: setup
	@scripts/test-all.sh

setup:
	@scripts/setup.sh

native: setup
	cmake --preset native && cmake --build --preset native -j $$(nproc)

# The 32-bit Windows DLLs, the deliverable: build/win32/bin/*.dll
dlls: setup
	cmake --preset win32 && cmake --build --preset win32 -j $$(nproc)

# The integrators' bundles and the source archive: dist/ (scripts/release.sh)
release: setup
	@scripts/release.sh

# The Debian package of the server and the tools, from the native build: dist/lumbra-server_*.deb
package: setup
	cmake --preset native && cmake --build --preset native -j $$(nproc) && cd build/native && cpack

# Every benchmark, side by side with PostgreSQL, and the table of goals (on a quiet machine).
bench: setup
	@scripts/bench.sh

# Every fuzz target for FUZZ_SECONDS each (default 300).
fuzz: setup
	@scripts/fuzz.sh

clean:
	rm -rf build dist
