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
openssl genrsa -out d.pem 768 2>/dev/null
keyid=$(openssl rsa -in a.pem -noout -modulus 2>/dev/null | sed 's/Modulus=//' | tail -c 17)
dkeyid=$(openssl rsa -in d.pem -noout -modulus 2>/dev/null | sed 's/Modulus=//' | tail -c 17)

check "add public PEM" "$orvak" add ring.pgp --pem a.pub.pem --user 'Zed <zed@example.org>' --created 1996-04-10T21:55:48 2>add1.txt
check "the first add says it creates the ring" grep -q "created new key ring 'ring.pgp'" add1.txt
check "add DER" "$orvak" add ring.pgp --pem a.der --user 'Bob' --created @0 2>add2.txt
check "adding a key already in the ring warns, and names its user id" grep -q "warning: this key is already in 'ring.pgp' under user id 'Zed <zed@example.org>'" add2.txt
check "a later add creates nothing" sh -c "! grep -q 'created new' add2.txt"
check "add PKCS#1 PEM" "$orvak" add ring.pgp --pem c.rsa.pem --user 'carol' --created 2100-02-28
"$orvak" list ring.pgp > list.txt
check "list has three keys in user-id order" \
  test "$(sed -n '2,4p' list.txt | awk '{print $NF}' | tr '\n' ' ')" = "Bob carol <zed@example.org> "
check "list shows key id, bits, exponent, date" grep -q "^$keyid  1024     65537  1996-04-10 21:55:48  Zed" list.txt
check "list shows exponent 3 and 768 bits" grep -q "  768         3  2100-02-28 00:00:00  carol" list.txt
check "find by user id" sh -c "'$orvak' find ring.pgp --user 'ZED <zed@example.org>  ' | grep -q '^$keyid'"
check "find by key id: first of the two keys in ring order" sh -c "'$orvak' find ring.pgp --key-id 0x$keyid | grep -q '  Bob$'"
check "find by key id: both keys that carry it" sh -c "'$orvak' find ring.pgp --key-id 0x$keyid | awk '{print \$NF}' | tr '\n' ' ' | grep -qx 'id Bob <zed@example.org> '"
short=$(printf %s "$keyid" | tail -c 8)
check "find by the short key id, in lower case" sh -c "'$orvak' find ring.pgp --key-id $(printf %s "$short" | tr A-F a-f) | grep -q '^$keyid  1024.*Bob$'"
check "find by part of a user id, any letter case" sh -c "'$orvak' find ring.pgp --user ZED | grep -q 'Zed <zed@example.org>$'"
check "second ring" "$orvak" add ring2.pgp --pem c.pem --user 'carol' 2>/dev/null
check "second ring, second key" "$orvak" add ring2.pgp --pem d.pem --user 'Caroline' 2>/dev/null
check "find: a user id that matches exactly hides the keys that only hold it" sh -c "'$orvak' find ring2.pgp --user CAROL | tail -n +2 | awk '{print \$NF}' | tr '\n' ' ' | grep -qx 'carol '"
check "find: part of a user id finds every key that holds it" sh -c "'$orvak' find ring2.pgp --user aro | tail -n +2 | awk '{print \$NF}' | tr '\n' ' ' | grep -qx 'carol Caroline '"
check "remove --key-id" sh -c "'$orvak' remove ring2.pgp --key-id $dkeyid | grep -q \"removed 'Caroline'; 1 key left\""
check "remove --key-id: an unknown key id fails" sh -c "! '$orvak' remove ring2.pgp --key-id $dkeyid 2>err.txt && grep -q 'no key with key id' err.txt"
check "find: no match fails" sh -c "! '$orvak' find ring.pgp --user nobody 2>err.txt && grep -q \"no key with a user id like 'nobody'\" err.txt"
check "find: a key id of 9 digits is bad usage" sh -c "'$orvak' find ring.pgp --key-id 123456789 2>/dev/null; test \$? -eq 2"
check "remove --key-id refuses a key id two keys carry" sh -c "! '$orvak' remove ring.pgp --key-id $short 2>err.txt && grep -q '2 keys have key id' err.txt"
cp ring.pgp before.pgp
check "a missing key file: the system's reason" sh -c "! '$orvak' add ring.pgp --pem absent.pem --user x 2>err.txt && grep -q \"cannot open key file 'absent.pem': No such file or directory\" err.txt"
check "too big a modulus is refused" sh -c "! '$orvak' add ring.pgp --pem big.pem --user big 2>err.txt && grep -q 1024 err.txt"
check "a duplicate user id is refused" sh -c "! '$orvak' add ring.pgp --pem a.pem --user 'bob ' 2>/dev/null"
check "removing a missing key fails" sh -c "! '$orvak' remove ring.pgp nobody 2>/dev/null"
check "ring unchanged after refusals" cmp -s ring.pgp before.pgp
check "remove names the stored user id, not the one typed" sh -c "'$orvak' remove ring.pgp BOB | grep -q \"removed 'Bob'; 2 keys left\""
check "two keys left" sh -c "'$orvak' list ring.pgp | grep -q '^2 keys$'"
check "missing ring" sh -c "! '$orvak' list absent.pgp 2>err.txt && grep -q 'cannot open' err.txt"
check "missing ring: the system's reason" grep -q "cannot open key ring 'absent.pgp': No such file or directory" err.txt
mkdir folder.pgp
check "a folder as ring: the system's reason" sh -c "! '$orvak' list folder.pgp 2>err.txt && grep -q \"cannot open key ring 'folder.pgp': Is a directory\" err.txt"
check "a folder is never taken for a new ring" sh -c "! '$orvak' add folder.pgp --pem a.pem --user x 2>err.txt && grep -q 'Is a directory' err.txt && ! grep -q 'created new' err.txt"
check "a refused add to a new ring creates nothing and says nothing of it" sh -c "! '$orvak' add new.pgp --pem big.pem --user big 2>err.txt && ! grep -q created err.txt && test ! -e new.pgp"
check "a failed save to a new ring says nothing of creating it" sh -c "! '$orvak' add no/such/new.pgp --pem a.pem --user x 2>err.txt && grep -q 'cannot save.*(No such file or directory); no ring was created' err.txt && ! grep -q 'created new' err.txt && test ! -e no"
check "a bad --created date names the range" sh -c "'$orvak' add new.pgp --pem a.pem --user x --created 1969-12-31 2>err.txt; test \$? -eq 2 && grep -q 'from 1970-01-01 to 2106-02-07T06:28:15' err.txt"
# The first key's user-id packet damaged (its CTB turned into a trust
# packet's): the ring is refused, never read as the first key under the second
# key's user id.
python3 - "$testdata/pgp2/ring-fits.pgp" bad-uid.pgp <<'PY'
import sys
ring = bytearray(open(sys.argv[1], "rb").read())
at = 3 + (ring[1] << 8 | ring[2])
assert ring[at] == 0xB4
ring[at] = 0xB0
open(sys.argv[2], "wb").write(ring)
PY
check "a key whose user id is damaged: the ring is refused, with the offset" sh -c "! '$orvak' list bad-uid.pgp >out.txt 2>err.txt && grep -q \"not a key ring this tool can read: at byte 0, this key has no user id: the next key's packet follows at offset 321\" err.txt && test ! -s out.txt"
cp bad-uid.pgp bad-uid.before
check "a damaged ring is never saved over" sh -c "! '$orvak' add bad-uid.pgp --pem a.pem --user y 2>/dev/null && cmp -s bad-uid.pgp bad-uid.before"
head -c 100 before.pgp > cut.pgp
check "a ring cut short: where and why" sh -c "! '$orvak' list cut.pgp 2>err.txt && grep -q 'at byte 0, the file ends inside this public-key packet' err.txt"
check "a 2048-bit key: where and why" sh -c "! '$orvak' list '$testdata/pgp2/ring-2048.pgp' 2>err.txt && grep -q 'at byte 0, a modulus of 2048 bits, over the 1024 a record holds' err.txt"

# Real rings hold more than a save keeps: signatures, further user ids, trust
# packets, user ids over 31 characters, version-3 key packets. A change is
# refused, saying what would be lost, unless --force, which keeps the old ring.
cp "$testdata/pgp2/ring-1024.pgp" real.pgp
check "a real ring: a change is refused and the ring left whole" sh -c "! '$orvak' remove real.pgp 'ben laurie <ben@algroup.co.uk>' 2>err.txt && cmp -s real.pgp '$testdata/pgp2/ring-1024.pgp' && test ! -e real.pgp~"
check "the refusal says what a save would lose" sh -c "grep -q 'drop 69 packets (58 signatures, 11 further user ids)' err.txt && grep -q \"cut 5 user ids to 31 characters: 'Rodent of Unusual Size <Ken.Coar@Golux.Com>' (43)\" err.txt && grep -q 'rewrite 6 key packets: 6 version 3 written as version 2' err.txt && grep -q -- '--force saves it all the same' err.txt"
check "an add to a real ring is refused too" sh -c "! '$orvak' add real.pgp --pem a.pem --user newcomer 2>/dev/null && cmp -s real.pgp '$testdata/pgp2/ring-1024.pgp'"
check "list marks the user ids that were cut" sh -c "'$orvak' list real.pgp > list.txt && grep -q 'Ask Bjoern Hansen <ask@netceter+  (cut: 36 characters in the ring)$' list.txt && grep -q '^+ 5 user ids cut to 31 characters' list.txt && grep -q 'Ben Laurie <ben@algroup.co.uk>$' list.txt"
check "--force saves and keeps the old ring as RING~" sh -c "'$orvak' remove real.pgp 'ben laurie <ben@algroup.co.uk>' --force >out.txt 2>err.txt && cmp -s real.pgp~ '$testdata/pgp2/ring-1024.pgp' && grep -q \"the old ring is kept as 'real.pgp~'\" err.txt && grep -q '9 keys left' out.txt"
check "the ring saved by force is this tool's: the next change goes through" "$orvak" remove real.pgp 'fr.announce.newgroups'
cp "$testdata/pgp2/ring-fits-trust.pgp" trust.pgp
check "trust packets count as lost" sh -c "! '$orvak' remove trust.pgp 'fr.announce.newgroups' 2>err.txt && grep -q '19 trust packets' err.txt"
cp "$testdata/pgp2/ring-fits.expected-save.pgp" own.pgp
check "a ring in this library's form changes without --force" sh -c "'$orvak' remove own.pgp 'fr.announce.newgroups' 2>err.txt && test ! -s err.txt && test ! -e own.pgp~"
check "real ring lists" sh -c "'$orvak' list '$testdata/pgp2/ring-fits.pgp' | grep -q '^BEE7966C45B91DF1  1024        23  1996-03-02 18:39:39  Doug MacEachern'"
# import: a key file, armoured or binary; each key a record cannot hold is
# refused with its reason, the others are taken. export: packets or armour.
check "import of an armoured key" sh -c "'$orvak' import in.pgp '$testdata/pgp2/httpd-laurie.asc' >out.txt && grep -q '^imported  1B080C452719AF35  1024        17  1995-05-13 10:42:09  Ben Laurie <ben@algroup.co.uk>$' out.txt"
check "import of a binary ring: what fits is taken, the rest refused by name" sh -c "! '$orvak' import many.pgp '$testdata/pgp2/ring-1024.pgp' >out.txt 2>err.txt && grep -q '^5 keys imported, 5 refused$' out.txt && grep -q \"not imported: the key at byte 2156 ('Rodent of Unusual Size <Ken.Coar@Golux.Com>'): a user id of 43 characters, over the 31 a record holds\" err.txt && test \"\$('$orvak' list many.pgp | tail -n 1)\" = '5 keys'"
check "a 2048-bit key is refused and no ring made" sh -c "! '$orvak' import big.pgp '$testdata/pgp2/httpd-sameer-2048.asc' 2>err.txt && grep -q 'a modulus of 2048 bits, over the 1024 a record holds' err.txt && test ! -e big.pgp"
check "a key already in the ring is refused" sh -c "! '$orvak' import in.pgp '$testdata/pgp2/httpd-laurie.asc' 2>err.txt && grep -q 'already in' err.txt"
sed '5s/^./X/' "$testdata/pgp2/httpd-laurie.asc" > damaged.asc
check "damaged armour: its CRC-24" sh -c "! '$orvak' import other.pgp damaged.asc 2>err.txt && grep -q \"CRC-24 does not match\" err.txt && test ! -e other.pgp"
check "export --armor and import again" sh -c "'$orvak' export in.pgp 2719af35 --armor > k.asc && head -n 1 k.asc | grep -qx -- '-----BEGIN PGP PUBLIC KEY BLOCK-----' && '$orvak' import back.pgp k.asc >/dev/null && test \"\$('$orvak' list back.pgp)\" = \"\$('$orvak' list in.pgp)\""
check "export by user id gives the packets a save writes" sh -c "'$orvak' export in.pgp 'BEN LAURIE <ben@algroup.co.uk>' > k.bin && cmp -s k.bin in.pgp"
check "export of an unknown key fails" sh -c "! '$orvak' export in.pgp nobody 2>err.txt && grep -q \"no key with key id or user id 'nobody'\" err.txt"

# User ids are kept in Windows-1252: one byte, one character.
long=$(printf '\303\251%.0s' $(seq 31))  # 31 times e-acute in UTF-8, 62 bytes
check "31 characters outside ASCII fit" sh -c "'$orvak' add latin.pgp --pem a.pem --user '$long' --created @0 >/dev/null 2>&1 && '$orvak' list latin.pgp | grep -q ' $long\$'"
check "and take one byte each in the ring" sh -c "test \$(wc -c < latin.pgp) -eq \$((3 + 128 + 3 + 12 + 2 + 31))"
check "32 characters are refused, counted in characters" sh -c "! '$orvak' add latin.pgp --pem c.pem --user 'x$long' 2>err.txt && grep -q 'has 32\$' err.txt"
lacking=$(printf 'Jo\304\211')  # U+0109
check "a character Windows-1252 lacks is refused" sh -c "! '$orvak' add latin.pgp --pem c.pem --user '$lacking' 2>err.txt && grep -q 'has no Windows-1252 form' err.txt"
check "letter case folds for A to Z only" sh -c "'$orvak' find latin.pgp --user '$long' >/dev/null && ! '$orvak' find latin.pgp --user \"\$(printf '\303\211%.0s' \$(seq 31))\" 2>/dev/null"
check "list --json: every key, and the whole user id of a cut one" sh -c "'$orvak' list real.pgp~ --json > list.json && python3 -c 'import json,sys; keys=json.load(open(\"list.json\")); cut=[k for k in keys if \"userIdInRing\" in k]; sys.exit(not (len(keys)==10 and len(cut)==5 and keys[0][\"userIdInRing\"]==\"Ask Bjoern Hansen <ask@netcetera.dk>\" and keys[0][\"keyId\"]==\"F92828FD62C48B29\" and keys[0][\"bits\"]==1024 and keys[0][\"created\"]==\"1996-01-22T01:33:43Z\"))'"
check "help" sh -c "'$orvak' --help | grep -q 'Exit status: 0 done, 1 failed'"
check "help of a command" sh -c "'$orvak' add --help | grep -q -- '--created'"
check "a wrong option: one line naming it, then the pointer to --help" sh -c "'$orvak' add ring.pgp --pem a.pem --user y --usr x 2>err.txt; test \$? -eq 2 && test \$(wc -l < err.txt) -eq 2 && head -n 1 err.txt | grep -q -- '--usr'"
check "usage error" sh -c "'$orvak' frobnicate x 2>/dev/null; test \$? -eq 2"
if command -v pgpdump >/dev/null; then
  check "pgpdump reads the ring" sh -c "pgpdump ring.pgp | grep -c 'Ver 2 - old' | grep -q '^2$'"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
