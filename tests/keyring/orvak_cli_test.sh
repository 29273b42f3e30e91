#!/usr/bin/env bash
# orvak_cli_test.sh ORVAK TESTDATA -- the orvak tool end to end: a ring built
# from keys made by openssl, listed, searched, changed, and its errors.
set -u
orvak=$1
testdata=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0
failed=0
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}

openssl genrsa -out a.pem 1024 2>/dev/null
openssl rsa -in a.pem -pubout -out a.pub.pem 2>/dev/null
openssl rsa -in a.pem -pubout -outform DER -out a.der 2>/dev/null
openssl genrsa -3 -out c.pem 768 2>/dev/null
openssl rsa -in c.pem -RSAPublicKey_out -out c.rsa.pem 2>/dev/null
openssl genrsa -out big.pem 2048 2>/dev/null
keyid=$(openssl rsa -in a.pem -noout -modulus 2>/dev/null | sed 's/Modulus=//' | tail -c 17)

check "add public PEM" "$orvak" add ring.pgp --pem a.pub.pem --user 'Zed <zed@example.org>' --created 1996-04-10T21:55:48
check "add DER" "$orvak" add ring.pgp --pem a.der --user 'Bob' --created @0
check "add PKCS#1 PEM" "$orvak" add ring.pgp --pem c.rsa.pem --user 'carol' --created 2100-02-28
"$orvak" list ring.pgp > list.txt
check "list has three keys in user-id order" \
  test "$(sed -n '2,4p' list.txt | awk '{print $NF}' | tr '\n' ' ')" = "Bob carol <zed@example.org> "
check "list shows key id, bits, exponent, date" grep -q "^$keyid  1024     65537  1996-04-10 21:55:48  Zed" list.txt
check "list shows exponent 3 and 768 bits" grep -q "  768         3  2100-02-28 00:00:00  carol" list.txt
check "find by user id" sh -c "'$orvak' find ring.pgp --user 'ZED <zed@example.org>  ' | grep -q '^$keyid'"
check "find by key id: first of the two keys in ring order" sh -c "'$orvak' find ring.pgp --key-id 0x$keyid | grep -q '  Bob$'"
cp ring.pgp before.pgp
check "too big a modulus is refused" sh -c "! '$orvak' add ring.pgp --pem big.pem --user big 2>err.txt && grep -q 1024 err.txt"
check "a duplicate user id is refused" sh -c "! '$orvak' add ring.pgp --pem a.pem --user 'bob ' 2>/dev/null"
check "removing a missing key fails" sh -c "! '$orvak' remove ring.pgp nobody 2>/dev/null"
check "ring unchanged after refusals" cmp -s ring.pgp before.pgp
check "remove" "$orvak" remove ring.pgp BOB
check "two keys left" sh -c "'$orvak' list ring.pgp | grep -q '^2 keys$'"
check "missing ring" sh -c "! '$orvak' list absent.pgp 2>err.txt && grep -q 'cannot open' err.txt"
head -c 100 before.pgp > cut.pgp
check "damaged ring" sh -c "! '$orvak' list cut.pgp 2>err.txt && grep -q 'damaged' err.txt"
check "real ring lists" sh -c "'$orvak' list '$testdata/pgp2/ring-fits.pgp' | grep -q '^BEE7966C45B91DF1  1024        23  1996-03-02 18:39:39  Doug MacEachern'"
check "help" sh -c "'$orvak' --help | grep -q 'orvak add RING --pem KEY.pem --user ID'"
check "usage error" sh -c "'$orvak' frobnicate x 2>/dev/null; test \$? -eq 2"
if command -v pgpdump >/dev/null; then
  check "pgpdump reads the ring" sh -c "pgpdump ring.pgp | grep -c 'Ver 2 - old' | grep -q '^2$'"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
