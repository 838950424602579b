#!/bin/bash
# The Debian package: built with cpack from the build folder, installed with
# dpkg, looked at as a person would use it, removed and purged.  It changes
# the machine while it runs (a package, the orvex user), so it needs root
# and puts everything back on every way out, even when a check fails.
# Skipped (status 77) without root or dpkg, or where an orvex package is
# already installed: that one is someone's, not the test's.
#
#   package_test.sh BUILD_DIR
set -uo pipefail
build=$1
skip() { echo "package_test: skipped: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack adduser man; do
    command -v "$tool" > /dev/null || skip "no $tool"
done
[ -f "$build/CPackConfig.cmake" ] || { echo "package_test: no $build/CPackConfig.cmake" >&2; exit 1; }
packageStatus() { dpkg-query -W -f='${db:Status-Status}' orvex 2>/dev/null; }
case "$(packageStatus)" in
    ''|not-installed) ;;
    *) skip "an orvex package is already on this machine ($(packageStatus))" ;;
esac

# What was here before, so cleanup takes away only what the test made.
userBefore=$(getent passwd orvex > /dev/null && echo yes || echo no)
groupBefore=$(getent group orvex > /dev/null && echo yes || echo no)
etcBefore=$([ -e /etc/orvex ] && echo yes || echo no)
varBefore=$([ -e /var/lib/orvex ] && echo yes || echo no)
scratch=$(mktemp -d /tmp/package-test.XXXXXX) || exit 1
line=package-test-$$

# dpkg refuses at once while another dpkg or apt holds its lock; wait for
# the lock (up to 5 minutes), not for anything else.
dpkgWaiting() {
    local deadline=$((SECONDS + 300))
    while true; do
        dpkg "$@" > "$scratch/dpkg.log" 2>&1 && return 0
        grep -qi 'lock' "$scratch/dpkg.log" && [ $SECONDS -lt $deadline ] || break
        sleep 1
    done
    cat "$scratch/dpkg.log" >&2
    return 1
}

cleanup() {
    local status=$?
    trap - EXIT
    case "$(packageStatus)" in
        ''|not-installed) ;;
        *) dpkgWaiting --purge orvex || echo "package_test: could not purge orvex" >&2 ;;
    esac
    rm -f "/etc/orvex/$line.conf"
    [ "$etcBefore" = yes ] || rm -rf /etc/orvex
    [ "$varBefore" = yes ] || rm -rf /var/lib/orvex
    if [ "$userBefore" = no ] && getent passwd orvex > /dev/null; then userdel orvex; fi
    if [ "$groupBefore" = no ] && getent group orvex > /dev/null; then groupdel orvex; fi
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
# A step the next ones stand on: stop at once when it fails.
must() { "$@" || { echo "FAILED (cannot go on): $*" >&2; exit 1; }; }

start=$SECONDS
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/cpack" > "$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; echo "FAILED (cannot go on): cpack" >&2; exit 1; }
debs=("$scratch"/cpack/orvex_*.deb)
must [ ${#debs[@]} -eq 1 ] && must [ -f "${debs[0]}" ]
deb=${debs[0]}
echo "package_test: built $(basename "$deb") ($(stat -c %s "$deb") bytes) in $((SECONDS - start)) s"

# What the package says of itself.
depends=$(dpkg-deb -f "$deb" Depends)
for d in adduser libc6 libsndfile1 libre0 libasound2; do
    [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
[[ "$(dpkg-deb -f "$deb" Description)" == *"answering machine"* ]] || fail "no description"
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles 2> /dev/null | grep -qx /etc/orvex/example.conf ||
    fail "/etc/orvex/example.conf is not a conffile"
for script in postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - "./$script" 2> /dev/null | grep -q '^-rwxr-xr-x' ||
        fail "no executable $script"
done

must dpkgWaiting -i "$deb"

# Installed where a person and systemd look for it.
files=(/usr/bin/callctl /usr/bin/sipline /usr/libexec/orvex/voicephone-daemon /usr/libexec/orvex/playback-daemon
       /usr/libexec/orvex/record-daemon /usr/libexec/orvex/orvex-answer /usr/lib/systemd/system/orvex-answer@.service
       /usr/lib/systemd/system/sipline@.service /etc/orvex/example.conf)
for f in "${files[@]}"; do [ -e "$f" ] || fail "$f not installed"; done
[ "$(/usr/bin/callctl --version)" = "callctl 1.1" ] || fail "callctl --version: $(/usr/bin/callctl --version 2>&1)"
for page in callctl sipline orvex-answer orvex-daemons voicephone-daemon playback-daemon record-daemon; do
    path=$(man -w "$page" 2> /dev/null)
    [[ "$path" == /usr/share/man/man[18]/"$page".[18]* ]] || fail "man -w $page: '$path'"
done
# callctl finds the daemons the package put beside it, and they run.
# The take ends at its limit, one second, whatever the machine's pace.
(cd "$scratch" && timeout 60 /usr/bin/callctl record --take "$scratch/take.ul" --tape-limit 1 -q > "$scratch/record.log" 2>&1) ||
    fail "installed callctl record: $(cat "$scratch/record.log")"
[ "$(stat -c %s "$scratch/take.ul" 2> /dev/null || echo 0)" -eq 8000 ] ||
    fail "installed record-daemon did not record exactly 1 s: $(stat -c %s "$scratch/take.ul" 2> /dev/null) bytes"

unit=/usr/lib/systemd/system/orvex-answer@.service
execStart=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
[ "$execStart" = /usr/libexec/orvex/orvex-answer ] && [ -x "$execStart" ] || fail "the unit starts '$execStart'"
if command -v systemd-analyze > /dev/null; then
    systemd-analyze verify "$unit" > "$scratch/verify.log" 2>&1 || fail "systemd-analyze verify: $(cat "$scratch/verify.log")"
    [ ! -s "$scratch/verify.log" ] || fail "systemd-analyze verify warns: $(cat "$scratch/verify.log")"
else
    echo "package_test: no systemd-analyze; the unit is not verified"
fi

# The service's user: a system user without a login, owning its folder.
IFS=: read -r _ _ uid _ _ home shell <<< "$(getent passwd orvex)"
[ -n "$uid" ] && [ "$uid" -lt 1000 ] || fail "orvex is not a system user (uid '$uid')"
[ "$home" = /var/lib/orvex ] || fail "orvex's home is '$home'"
[[ "$shell" == */nologin || "$shell" == /bin/false ]] || fail "orvex may log in ($shell)"
[ "$(stat -c '%U:%G %a' /var/lib/orvex 2> /dev/null)" = "orvex:orvex 750" ] ||
    fail "/var/lib/orvex is $(stat -c '%U:%G %a' /var/lib/orvex 2>&1)"

# The installed wrapper reads /etc/orvex/NAME.conf: a good one passes, a
# non-digit PIN and a missing mailbox are refused.
answer() { /usr/libexec/orvex/orvex-answer --check "$line" > "$scratch/answer.log" 2>&1; }
printf 'MAILBOX=/var/lib/orvex/%s\nPIN=2468\n' "$line" > "/etc/orvex/$line.conf"
answer || fail "a good conf is refused: $(cat "$scratch/answer.log")"
printf 'MAILBOX=/var/lib/orvex/%s\nPIN=24x8\n' "$line" > "/etc/orvex/$line.conf"
answer
[ $? -eq 78 ] && grep -q 'PIN must be digits' "$scratch/answer.log" || fail "a non-digit PIN: $(cat "$scratch/answer.log")"
printf 'PIN=2468\n' > "/etc/orvex/$line.conf"
answer
[ $? -eq 78 ] && grep -q 'MAILBOX is missing' "$scratch/answer.log" || fail "no mailbox: $(cat "$scratch/answer.log")"
# The shipped example is complete but for the password file it names.
sed "s|^SIP_AUTH_FILE=.*|SIP_AUTH_FILE=$scratch/secret|" /etc/orvex/example.conf > "/etc/orvex/$line.conf"
install -m 600 /dev/null "$scratch/secret"
answer || fail "the example conf with a password file is refused: $(cat "$scratch/answer.log")"
# As the service runs it: the orvex user, a network of its own with only
# loopback; the real sipline takes the wrapper's arguments and listens, and
# the mailbox is made for it below /var/lib/orvex.
if command -v unshare > /dev/null && command -v ip > /dev/null; then
    printf '%s\n' SIP_LISTEN=127.0.0.1:5090 SIP_RTP_PORTS=10000-10099 SIP_FROM=sip:100@example.com \
        "MAILBOX=/var/lib/orvex/$line" PIN=2468 > "/etc/orvex/$line.conf"
    timeout -k 5 5 unshare -n sh -c "ip link set lo up && exec runuser -u orvex -- /usr/libexec/orvex/orvex-answer $line" \
        > "$scratch/service.log" 2>&1
    status=$?
    [ $status -eq 124 ] && grep -q 'listening for SIP on 127.0.0.1:5090' "$scratch/service.log" ||
        fail "the service as orvex: status $status: $(cat "$scratch/service.log")"
    [ "$(stat -c '%U %a' "/var/lib/orvex/$line" 2> /dev/null)" = "orvex 700" ] ||
        fail "the mailbox made for the service: $(stat -c '%U %a' "/var/lib/orvex/$line" 2>&1)"
else
    echo "package_test: no unshare or ip; the service is not started"
fi
rm -f "/etc/orvex/$line.conf"

# Removed: the programs go, the conf file stays; purged: it goes too.
must dpkgWaiting -r orvex
for f in "${files[@]}" /usr/share/man/man1/callctl.1 /usr/share/man/man8/orvex-answer.8; do
    [ "$f" = /etc/orvex/example.conf ] && continue
    [ ! -e "$f" ] || fail "$f left after dpkg -r"
done
[ -e /etc/orvex/example.conf ] || fail "dpkg -r took the conf file"
must dpkgWaiting --purge orvex
[ ! -e /etc/orvex/example.conf ] || fail "/etc/orvex/example.conf left after purge"
[ "$etcBefore" = yes ] || [ ! -e /etc/orvex ] || fail "/etc/orvex left after purge"
# Messages are the owner's: a mailbox survives the purge.
[ ! -e "$scratch/service.log" ] || [ -d "/var/lib/orvex/$line" ] || fail "purge took the mailboxes"
case "$(packageStatus)" in
    ''|not-installed) ;;
    *) fail "after purge dpkg says: $(packageStatus)" ;;
esac

echo "package_test: $((SECONDS - start)) s"
if [ "$failures" -ne 0 ]; then
    echo "package_test: $failures failed" >&2
    exit 1
fi
echo "package_test: all checks passed"
