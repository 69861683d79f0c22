# Ends the server recorded in server.pid and notes how it was started.
root=$(cd "$(dirname "$0")" && pwd)
/usr/bin/python3 "$root/record.py" stop "$0" "$@"
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
