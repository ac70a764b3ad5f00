#!/usr/bin/env bash
# Starts fpkeyd the way a desktop user does — `systemctl --user enable --now
# fpkeyd` under a real systemd user manager — from the installed build tree,
# and checks that the daemon runs as that user, answers on its port, comes
# back after a crash and stops cleanly.
# Args: BUILD_DIR SCRATCH_DIR, or --installed SCRATCH_DIR to check the unit
# of the installed package (dpkg -i) instead of the build tree.
# Exit 77: skipped (needs root and systemd).
#
# Root is needed to make a throwaway user and, on a machine that was not
# booted with systemd (a container, a build machine), to give that user's
# manager a cgroup of its own. Everything made here is removed at exit.
set -euo pipefail
build=$1
scratch=$2

skip() {
  echo "user unit: skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root to run a user manager for a throwaway user"
sd=/usr/lib/systemd/systemd
[ -x "$sd" ] || skip "systemd is not installed"
command -v systemctl >/dev/null || skip "systemctl is not installed"
command -v useradd >/dev/null || skip "useradd is not installed"

user=fpkunit$$
uid=""
manager=""
made_booted=0
booted=0
cg=""
rm -rf "$scratch"
mkdir -p "$scratch"
chmod 755 "$scratch"

as_user() {
  runuser -u "$user" -- env XDG_RUNTIME_DIR="/run/user/$uid" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus" "$@"
}

cleanup() {
  set +e
  if [ -n "$uid" ]; then
    as_user systemctl --user disable --now fpkeyd >/dev/null 2>&1
    if [ "$booted" -eq 1 ]; then
      systemctl stop "user@$uid.service" >/dev/null 2>&1
      loginctl disable-linger "$user" >/dev/null 2>&1
    elif [ -n "$manager" ]; then
      kill "$manager" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$manager" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$manager" 2>/dev/null
    fi
    if [ -n "$cg" ] && [ -d "$cg" ]; then
      # Deepest groups first; the manager has left them empty.
      find "$cg" -depth -type d -exec rmdir {} \; 2>/dev/null
      rmdir "$(dirname "$cg")" "$(dirname "$(dirname "$cg")")" 2>/dev/null
    fi
    [ "$made_booted" -eq 1 ] && rmdir /run/systemd/system 2>/dev/null
    rm -rf "/run/user/$uid"
    userdel -r "$user" >/dev/null 2>&1
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

if [ "$build" = --installed ]; then
  unitdir=/usr/lib/systemd/user
else
  cmake --install "$build" --prefix "$scratch/usr" >/dev/null
  unitdir="$scratch/usr/lib/systemd/user"
fi
[ -f "$unitdir/fpkeyd.service" ] || { echo "the install has no user unit"; exit 1; }

# The daemon's port: a free one, so a daemon the developer runs is not hit.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null || echo $((20000 + $$ % 20000)))

useradd --create-home --shell /bin/bash "$user"
uid=$(id -u "$user")
mkdir -p "/run/user/$uid"
chown "$user:" "/run/user/$uid"
chmod 700 "/run/user/$uid"

booted=0
if [ "$(ps -p 1 -o comm= 2>/dev/null)" = systemd ]; then
  booted=1
fi

if [ "$booted" -eq 1 ]; then
  # The machine's own user@.service, kept up by lingering; the unit is
  # enabled from the scratch install by a link.
  loginctl enable-linger "$user"
  systemctl start "user@$uid.service"
  as_user systemctl --user link "$unitdir/fpkeyd.service" >/dev/null
else
  # A user manager refuses to run unless the machine looks booted with
  # systemd, and it needs a cgroup it may write, as logind would delegate.
  if [ ! -d /run/systemd/system ]; then
    mkdir -p /run/systemd/system
    made_booted=1
  fi
  cgroot=/sys/fs/cgroup
  if [ "$(stat -f -c %T "$cgroot" 2>/dev/null)" != cgroup2fs ]; then
    cgroot=/sys/fs/cgroup/unified
    [ "$(stat -f -c %T "$cgroot" 2>/dev/null)" = cgroup2fs ] || skip "no cgroup2 hierarchy to delegate"
  fi
  cg="$cgroot/user.slice/user-$uid.slice/user@$uid.service"
  mkdir -p "$cg" || skip "cannot make a cgroup for the user manager"
  chown -R "$user:" "$cg"
  # The manager finds the unit where the package puts it, with the
  # scratch install first (a trailing colon keeps the built-in paths).
  bash -c "echo \$\$ > '$cg/cgroup.procs' && exec runuser -u '$user' -- env \
    XDG_RUNTIME_DIR=/run/user/$uid SYSTEMD_UNIT_PATH='$unitdir:' $sd --user" \
    >"$scratch/manager.log" 2>&1 &
  manager=$!
fi

state=""
for _ in $(seq 100); do
  state=$(as_user systemctl --user is-system-running 2>/dev/null || true)
  case "$state" in running | degraded) break ;; esac
  sleep 0.1
done
case "$state" in
  running | degraded) ;;
  *)
    echo "the user manager did not come up ($state)"
    cat "$scratch/manager.log" 2>/dev/null || true
    exit 1
    ;;
esac

fail=0
check() {
  if ! eval "$2"; then
    echo "FAILED: $1"
    fail=1
  fi
}

# Plain HTTP on the WebSocket port answers 426: the daemon listens.
answers() {
  local reply=""
  { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 1
  printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$port" >&3
  IFS= read -r -t 5 reply <&3 || true
  exec 3<&- 3>&-
  [[ "$reply" == "HTTP/1.1 426"* ]]
}
wait_answers() {
  for _ in $(seq 100); do
    answers && return 0
    sleep 0.1
  done
  return 1
}
main_pid() { as_user systemctl --user show -p MainPID --value fpkeyd; }

as_user systemctl --user set-environment "FPKEYD_PORT=$port"
as_user systemctl --user enable --now fpkeyd
check "the unit is active after enable --now" '[ "$(as_user systemctl --user is-active fpkeyd)" = active ]'
check "the daemon answers on 127.0.0.1:$port" wait_answers
pid=$(main_pid)
check "the daemon runs as the desktop user, not root" \
  '[ "$pid" != 0 ] && [ "$(ps -o user= -p "$pid" | tr -d " ")" = "$user" ]'
check "enable linked the unit into default.target" \
  '[ "$(as_user systemctl --user is-enabled fpkeyd)" = enabled ]'

# A crash brings it back (Restart=on-failure) on the same port.
kill -9 "$pid"
restarted=0
for _ in $(seq 100); do
  now=$(main_pid)
  if [ "$now" != 0 ] && [ "$now" != "$pid" ]; then
    restarted=1
    break
  fi
  sleep 0.1
done
check "the unit restarts the daemon after a crash" '[ "$restarted" -eq 1 ]'
check "the restarted daemon answers" wait_answers

as_user systemctl --user disable --now fpkeyd
check "the daemon stopped cleanly on SIGTERM" \
  '[ "$(as_user systemctl --user show -p Result --value fpkeyd)" = success ]'
check "nothing listens after stop" '! answers'

if [ "$fail" -ne 0 ]; then
  as_user journalctl --user -u fpkeyd --no-pager 2>/dev/null | tail -20 || true
  echo "user unit: FAILED"
  exit 1
fi
echo "user unit: ok (user $user, port $port)"
