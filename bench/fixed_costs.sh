#!/bin/sh
# Fixed costs in instructions (valgrind --tool=callgrind), each beside its
# peer in the same run: what loading the module adds to a bare lua5.1, what
# kemlua costs to start, and what one small call costs from Lua. A call's
# cost is (N calls - an empty function N times) / N. Instruction counts do
# not depend on the machine's load, so the figures repeat from run to run.
#   bench/fixed_costs.sh BUILD_FOLDER
# Needs valgrind, lua5.1, lua-cjson and lua-socket (scripts/bootstrap bench).
set -eu
build=$(cd "$1" && pwd)
n=20000
export LUA_CPATH="$build/?.so;;"

for tool in valgrind lua5.1; do
  command -v $tool >/dev/null 2>&1 || { echo "fixed_costs: $tool is missing (scripts/bootstrap bench)" >&2; exit 1; }
done

instructions() {  # command...: the instructions it runs
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

# per call: the expression run n times in a local function, minus the same
# function returning nil
per_call() {  # expression
  setup='local k = require "libkemluautils"; local mime = require "mime"'
  a=$(instructions lua5.1 -e "$setup; local f = function() return $1 end; for _ = 1, $n do f() end")
  b=$(instructions lua5.1 -e "$setup; local f = function() return nil end; for _ = 1, $n do f() end")
  echo $(((a - b) / n))
}

row() {  # what, ours, peer, peer's name
  awk -v w="$1" -v o="$2" -v p="$3" -v pn="$4" \
    'BEGIN { printf "%-36s %11d %11d %6.2f  %s\n", w, o, p, o / p, pn }'
}

echo "== fixed costs: callgrind instructions (lua5.1 $(lua5.1 -v 2>&1 | cut -d' ' -f2))"
printf '%-36s %11s %11s %6s  %s\n' "what" "ours" "peer" "ratio" "peer"
bare=$(instructions lua5.1 -e '')
ours=$(instructions lua5.1 -e 'require "libkemluautils"')
cjson=$(instructions lua5.1 -e 'require "cjson"')
row 'require: added to a bare lua5.1' $((ours - bare)) $((cjson - bare)) 'require "cjson"'
kemlua=$(instructions "$build/kemlua" -e '')
row "kemlua -e ''" "$kemlua" "$bare" "lua5.1 -e ''"
row 'base64_encode("abc")' "$(per_call 'k.base64_encode("abc")')" "$(per_call 'mime.b64("abc")')" 'mime.b64("abc")'
row 'base64_decode("YWJj")' "$(per_call 'k.base64_decode("YWJj")')" "$(per_call 'mime.unb64("YWJj")')" 'mime.unb64("YWJj")'
row 'lua_unixtime2iso8601(1709647620)' "$(per_call 'k.lua_unixtime2iso8601(1709647620)')" \
  "$(per_call 'os.date("!%Y-%m-%dT%H:%M:%S", 1709647620)')" 'os.date("!%Y-%m-%dT%H:%M:%S", t)'
row 'string_join({"a","b","c"}, ",")' "$(per_call 'k.string_join({"a", "b", "c"}, ",")')" \
  "$(per_call 'table.concat({"a", "b", "c"}, ",")')" 'table.concat({"a","b","c"}, ",")'
