# Sourced by the script tests.
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
