# Sourced by the bench scripts: free loopback ports and waiting for a listener.
# `bench_name` names the script in messages.

# A port nothing listens on now, between 20000 and 49999.
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 30000))
    if ! (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then echo "$port"; return; fi
  done
  echo "$bench_name: no free port" >&2; exit 1
}

# Waits (at most 30 s) until something listens on 127.0.0.1:$1; $2 says what, for the message.
wait_port() {
  for _ in $(seq 1 600); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "$bench_name: nothing listens on $1${2:+ ($2)}" >&2; exit 1
}
