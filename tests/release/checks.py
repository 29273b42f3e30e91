"""One line per check and a count at the end, for the release's test scripts."""


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def __call__(self, ok, text, detail=""):
        """Prints "ok" or "FAIL" and `text`; a failure shows the last 40 lines of `detail`."""
        print(("ok    " if ok else "FAIL  ") + text)
        if not ok and detail:
            print("\n".join("      " + line for line in detail.rstrip("\n").split("\n")[-40:]))
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def close(self):
        """Prints "N passed, N failed"; the exit status for them."""
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1
