#!/usr/bin/env bash
# End-to-end checks of kvxlog filter show: a QXDM Professional 5 filter file (lists without a
# comma after the last entry, OTA codes without "/", lists under <Displays> that are no part of
# the filter) is listed entry for entry, unreadable entries are said, and cut files are said
# (exit 4 when read in part, 3 for a .dmc cut before its closing root tag).
# Usage: filter_show_tests.sh KVXLOG
set -u
KVXLOG=$(realpath "$1")
[ -x "$KVXLOG" ] || { echo "not an executable: $KVXLOG"; exit 2; }

source "$(dirname "${BASH_SOURCE[0]}")/../check.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The file and the four lines filter show must print for it (expected.txt).
awk 'BEGIN {
    ORS = "\r\n"
    print "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    print "<QXDMProfessional>"
    print "  <Displays><View><ISVConfig><EventIDs>00001,00002</EventIDs>"
    print "    <LogCodes>0x1111,0x2222</LogCodes><OTATypes>0x3333</OTATypes></ISVConfig></View>"
    print "  </Displays>"
    print "  <LoggingView>"
    m = ""; me = "messages:"
    for (i = 0; i < 886; i++) {
        ssid = i == 885 ? 5011 : 10374 - i; level = i == 885 ? 4 : i % 5
        m = m (i ? "," : "") sprintf("%d/%02d", ssid, level); me = me sprintf(" %d/%d", ssid, level)
    }
    e = ""; ee = "events:"
    for (i = 0; i < 2782; i++) {
        id = i == 2781 ? 287 : i * 3
        e = e (i ? "," : "") sprintf("%05d", id); ee = ee " " id
    }
    l = ""; le = "logs:"
    for (i = 0; i < 1395; i++) {
        code = i == 1394 ? 45346 : 53540 - i
        l = l (i ? "," : "") sprintf("0x%04X", code); le = le sprintf(" 0x%04X", code)
    }
    o = ""
    for (i = 0; i < 30; i++) {
        code = i == 0 ? 47137 : i == 1 ? 45248 : i == 29 ? 4216 : 47104 + i
        o = o (i ? "," : "") sprintf("0x%04X", code); le = le sprintf(" 0x%04X", code)
    }
    print "    <MessageLevels>" m "</MessageLevels>"
    print "    <EventIDs>" e "</EventIDs>"
    print "    <LogCodes>" l "</LogCodes>"
    print "    <OTATypes>" o "</OTATypes>"
    print "  </LoggingView>"
    print "</QXDMProfessional>"
    ORS = "\n"
    print ee > "expected.txt"; print me > "expected.txt"; print le > "expected.txt"
    print "nv:" > "expected.txt"
    print "2782 events" > "expected.txt"; print "886 messages" > "expected.txt"
    print "1425 logs" > "expected.txt"; print "0 NV items" > "expected.txt"
}' >qxdm5.dmc

"$KVXLOG" filter show qxdm5.dmc >show.txt 2>show.err
rc=$?
check "QXDM 5 file: exit 0 (got $rc)" test "$rc" -eq 0
check "QXDM 5 file: every entry of the four lists, and the counts" cmp -s expected.txt show.txt
check "QXDM 5 file: no log code 0" test "$(grep '^logs:' show.txt | grep -c ' 0x0000')" -eq 0
check "QXDM 5 file: nothing to say" test ! -s show.err

"$KVXLOG" filter show --json qxdm5.dmc >show.json 2>/dev/null
check "QXDM 5 file: JSON holds the lists" \
    grep -q '^{"events":\[0,3,.*,287\],"messages":\[\[10374,0\],.*\[5011,4\]\],"logs":\[53540,.*,4216\],"nv":\[\]}$' show.json

printf '<QXDM><LoggingView><EventIDs>1, ,two,3</EventIDs></LoggingView></QXDM>' >some.dmc
"$KVXLOG" filter show some.dmc >some.txt 2>some.err
rc=$?
check "unreadable entries: exit 0 (got $rc)" test "$rc" -eq 0
check "unreadable entries: the rest listed" grep -qx 'events: 1 3' some.txt
check "unreadable entries: said with the first" \
    grep -qx 'some.dmc: 2 entries could not be read, the first: '"''" some.err

awk 'BEGIN { printf "<QXDM><LoggingView><LogCodes>"; for (i = 0; i < 7005; i++) printf "%d,", i
             printf "</LogCodes></LoggingView></QXDM>" }' >big.dmc
"$KVXLOG" filter show big.dmc >big.txt 2>big.err
rc=$?
check "list beyond the limit: exit 4 (got $rc)" test "$rc" -eq 4
check "list beyond the limit: the cut count" \
    grep -qx 'big.dmc: 5 entries were left out: a list holds at most 7000 values.' big.err
check "list beyond the limit: 7000 listed" grep -qx '7000 logs' big.txt

printf 'v\x00\x01\x26\x57\x00\x00\x7e\x26\x0a\x00' >cut.sqf
"$KVXLOG" filter show cut.sqf >cut.txt 2>cut.err
rc=$?
check "cut .sqf: exit 4 (got $rc)" test "$rc" -eq 4
check "cut .sqf: the whole request listed" grep -qx 'nv: 87' cut.txt
check "cut .sqf: said" grep -qx 'cut.sqf: The file ends inside a request: its last 3 bytes were not read.' cut.err

head -c 20000 qxdm5.dmc >cutq.dmc
"$KVXLOG" filter show cutq.dmc >cutq.txt 2>cutq.err
rc=$?
check "cut .dmc: exit 3 (got $rc)" test "$rc" -eq 3
check "cut .dmc: nothing listed" test ! -s cutq.txt
check "cut .dmc: the missing tag named" \
    grep -qx 'cutq.dmc: <QXDMProfessional> has no closing tag: the file may be cut short.' cutq.err

mkdir dir.sqf
"$KVXLOG" filter show dir.sqf >/dev/null 2>dir.err
rc=$?
check "folder: exit 1 (got $rc)" test "$rc" -eq 1
check "folder: path and reason" grep -qx 'dir.sqf: Is a directory' dir.err

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
