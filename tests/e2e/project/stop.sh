# Ends the server recorded in server.pid and notes how it was started.
root=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root/records"
{
    echo "program=$0"
    echo "args=$*"
    echo "cwd=$PWD"
    for variable in HARLUNE_AUTH HARLUNE_HOST HARLUNE_PORT; do
        echo "$variable=${!variable-(unset)}"
    done
} >"$root/records/stop.txt"
echo stop >>"$root/records/calls.log"

if [ -f "$root/server.pid" ]; then
    pid=$(cat "$root/server.pid")
    kill "$pid" 2>/dev/null
    # Gone, or a zombie that no longer holds the port.
    for _ in $(seq 200); do
        state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)
        if [ -z "$state" ] || [ "$state" = Z ]; then break; fi
        sleep 0.05
    done
    rm -f "$root/server.pid"
fi
