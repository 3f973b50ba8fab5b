# Sourced by the script and packaging tests.
# waitfor SECONDS COMMAND...: polls until COMMAND holds, for at most SECONDS;
# a condition that holds returns at once, so only a fault pays the whole wait.
waitfor() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}
# free_port: a loopback TCP port nobody listens on, below the kernel's range
# for source ports, so no connection takes it before a daemon binds it; 0 when
# fifty tries all find a listener.
free_port() {
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null || { echo "$candidate"; return; }
  done
  echo 0
}
