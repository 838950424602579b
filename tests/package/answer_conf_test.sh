#!/bin/bash
# The answering machine's wrapper: what it makes of a conf file, run with a
# stand-in sipline that runs the per-call command as sipline would
# (/bin/sh -c) and a stand-in callctl that records its arguments.
#
#   answer_conf_test.sh WRAPPER
set -uo pipefail
wrapper=$1
scratch=$(mktemp -d /tmp/answer-conf-test.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

mkdir "$scratch/bin" "$scratch/out"
cat > "$scratch/bin/sipline" <<'STUB'
#!/bin/bash
printf '%s\n' "$@" > "$OUT/sipline.args"
command=
while [ $# -gt 0 ]; do
    [ "$1" = --exec ] && command=$2
    shift
done
SIPLINE_FD=7 exec /bin/sh -c "$command"
STUB
cat > "$scratch/bin/callctl" <<'STUB'
#!/bin/bash
printf '%s\n' "$@" > "$OUT/callctl.args"
printf '%s' "${ORVEX_PIN-unset}" > "$OUT/callctl.pin"
STUB
chmod +x "$scratch/bin/sipline" "$scratch/bin/callctl"

# Runs the wrapper on a conf holding the lines given; its output in
# $scratch/out/output, its status returned.
runWrapper() {
    local mode=$1
    shift
    printf '%s\n' "$@" > "$scratch/test.conf"
    rm -f "$scratch/out/"*
    local args=("$scratch/test.conf")
    [ "$mode" = run ] || args=("$mode" "$scratch/test.conf")
    OUT=$scratch/out PATH="$scratch/bin:$PATH" timeout 20 "$wrapper" "${args[@]}" > "$scratch/out/output" 2>&1
}

# Every value a shell would act on reaches callctl as the same text, and
# nothing in it runs.
canary=$scratch/canary
hostileMailbox="$scratch/mail box \$(id -u) \`id -u\` it's"
hostileCommand="mail -s \"it's new\" owner@example.com < \"\$MESSAGE_WAV\"; touch $canary \`touch $canary\`"
printf 'secret\n' > "$scratch/secret"
chmod 600 "$scratch/secret"
mkdir "$hostileMailbox"
printf 'x' > "$scratch/greet'ing.ul"
runWrapper run \
    "# a comment" \
    "   " \
    "SIP_LISTEN = 192.0.2.1:5070" \
    "SIP_RTP_PORTS=10000-10099" \
    "SIP_FROM=sip:100@example.com" \
    "SIP_REGISTER=sip:example.com" \
    "SIP_USER=100" \
    "SIP_AUTH_FILE=$scratch/secret" \
    "SIP_OUTBOUND_PROXY=sip:192.0.2.10" \
    "MAILBOX=$hostileMailbox" \
    "GREETING=$scratch/greet'ing.ul" \
    "PIN=0042" \
    "MAX_MESSAGE=90" \
    "ON_MESSAGE=$hostileCommand"
status=$?
[ "$status" -eq 0 ] || fail "a good conf: status $status: $(cat "$scratch/out/output")"
expectedCallctl=$(printf '%s\n' serve --line fd:7 --mailbox "$hostileMailbox" --greeting "$scratch/greet'ing.ul" \
    --max-message 90 --on-message "$hostileCommand")
[ "$(cat "$scratch/out/callctl.args" 2>/dev/null)" = "$expectedCallctl" ] ||
    fail "callctl's arguments: got [$(cat "$scratch/out/callctl.args" 2>/dev/null)] expected [$expectedCallctl]"
expectedSipline=$(printf '%s\n' --sip 192.0.2.1:5070 --rtp-ports 10000-10099 --from sip:100@example.com \
    --register sip:example.com --user 100 --auth-file "$scratch/secret" --outbound-proxy sip:192.0.2.10)
siplineArgs=$(head -n 14 "$scratch/out/sipline.args" 2>/dev/null)
[ "$siplineArgs" = "$expectedSipline" ] || fail "sipline's options: got [$siplineArgs] expected [$expectedSipline]"
[ "$(sed -n '15p;17p' "$scratch/out/sipline.args" 2>/dev/null)" = $'--exec\nanswer' ] ||
    fail "sipline's --exec and answer: $(cat "$scratch/out/sipline.args" 2>/dev/null)"
[ ! -e "$canary" ] || fail "a conf value ran as a shell command"
[ "$(cat "$scratch/out/callctl.pin" 2>/dev/null)" = 0042 ] ||
    fail "the PIN did not reach callctl in its environment: [$(cat "$scratch/out/callctl.pin" 2>/dev/null)]"
! grep -q 0042 "$scratch/out/sipline.args" || fail "the PIN is on sipline's command line, for every ps to see"

# The fewest keys: the mailbox alone, made owner-only at the start.
runWrapper run "MAILBOX=$scratch/made"
status=$?
[ "$status" -eq 0 ] || fail "MAILBOX alone: status $status: $(cat "$scratch/out/output")"
[ "$(cat "$scratch/out/callctl.args" 2>/dev/null)" = "$(printf '%s\n' serve --line fd:7 --mailbox "$scratch/made")" ] ||
    fail "MAILBOX alone: callctl got [$(cat "$scratch/out/callctl.args" 2>/dev/null)]"
[ "$(stat -c %a "$scratch/made" 2>/dev/null)" = 700 ] || fail "the mailbox folder was not made with mode 700"

# --check and --print look and run nothing.
runWrapper --check "MAILBOX=$scratch/unmade" "PIN=1"
status=$?
[ "$status" -eq 0 ] || fail "--check on a good conf: status $status"
[ ! -e "$scratch/unmade" ] && [ ! -e "$scratch/out/sipline.args" ] || fail "--check made the mailbox or ran sipline"
runWrapper --print "MAILBOX=$scratch/it's" "PIN=1"
grep -qF "ORVEX_PIN='1' 'sipline' '--exec' 'exec callctl serve --line fd:\"\$SIPLINE_FD\" --mailbox '\\''$scratch/it'\\''\\'\\'''\\''s'\\''' 'answer'" \
    "$scratch/out/output" || fail "--print: $(cat "$scratch/out/output")"

# Each fault: status 78, one line naming what is wrong, and no sipline.
chmod 644 "$scratch/secret"
while IFS='|' read -r why line1 line2 expected; do
    runWrapper run "$line1" "$line2"
    status=$?
    output=$(cat "$scratch/out/output")
    [ "$status" -eq 78 ] || fail "$why: status $status, expected 78 ($output)"
    [[ "$output" == *"$expected"* ]] || fail "$why: said [$output], expected [$expected]"
    [ ! -e "$scratch/out/sipline.args" ] || fail "$why: sipline ran"
done <<CASES
PIN with a letter|MAILBOX=$scratch/m|PIN=12a4|PIN must be digits only
PIN with a sign|MAILBOX=$scratch/m|PIN=-1234|PIN must be digits only
PIN longer than the daemon keeps|MAILBOX=$scratch/m|PIN=12345678901234567|PIN has more than 16 digits
no MAILBOX|PIN=2468|# nothing else|MAILBOX is missing
a relative MAILBOX|MAILBOX=mail|PIN=2468|MAILBOX must be an absolute path
an empty value|MAILBOX=$scratch/m|PIN=|PIN is empty
a key given twice|MAILBOX=$scratch/m|MAILBOX=$scratch/n|line 2: MAILBOX given twice
a misspelt key|MAILBOX=$scratch/m|MAX_MESAGE=60|line 2: unknown key 'MAX_MESAGE'
two keys run together|MAILBOX=$scratch/m|SIP_USER SIP_AUTH_FILE=x|line 2: unknown key 'SIP_USER SIP_AUTH_FILE'
not KEY=VALUE|MAILBOX=$scratch/m|PIN 2468|line 2: expected KEY=VALUE
a zero MAX_MESSAGE|MAILBOX=$scratch/m|MAX_MESSAGE=0|MAX_MESSAGE must be a number
registration without a password file|MAILBOX=$scratch/m|SIP_REGISTER=sip:example.com|SIP_REGISTER needs SIP_USER
a password file others may read|MAILBOX=$scratch/m|SIP_AUTH_FILE=$scratch/secret|has mode 644
a password file that is not there|MAILBOX=$scratch/m|SIP_AUTH_FILE=$scratch/none|cannot be read
a greeting that is not there|MAILBOX=$scratch/m|GREETING=$scratch/none.ul|GREETING $scratch/none.ul cannot be read
CASES

runWrapper run "MAILBOX=$scratch/m" $'ON_MESSAGE=true\x1b[2J'
[ $? -eq 78 ] && grep -q 'line 2: ON_MESSAGE holds a control character' "$scratch/out/output" ||
    fail "a control character in a value: $(cat "$scratch/out/output")"
# A file with DOS line ends still means what it says.
runWrapper run $'MAILBOX=/tmp\r' $'PIN=2468\r'
[ "$(sed -n 5p "$scratch/out/callctl.args" 2>/dev/null)" = /tmp ] && [ "$(cat "$scratch/out/callctl.pin" 2>/dev/null)" = 2468 ] ||
    fail "a file with DOS line ends: callctl got [$(cat "$scratch/out/callctl.args" 2>/dev/null)] and PIN [$(cat "$scratch/out/callctl.pin" 2>/dev/null)]"

# Usage: a line name is a plain word, looked up in the conf folder.
"$wrapper" > /dev/null 2>&1
[ $? -eq 2 ] || fail "no argument: not a usage error"
"$wrapper" --check 'a b' > /dev/null 2>&1
[ $? -eq 2 ] || fail "a line name with a space: not a usage error"
"$wrapper" --check ".hidden" > /dev/null 2>&1
[ $? -eq 2 ] || fail "a line name starting with a dot: not a usage error"
output=$("$wrapper" --check "no-such-line-$$" 2>&1)
[ $? -eq 78 ] && [[ "$output" == *"/etc/orvex/no-such-line-$$.conf: cannot read"* ]] ||
    fail "a line without a conf file: $output"

if [ "$failures" -ne 0 ]; then
    echo "answer_conf_test: $failures failed" >&2
    exit 1
fi
echo "answer_conf_test: all checks passed"
