#!/bin/sh
# A scripted stand-in for the scan helper: what it does for a listed file is
# picked by the start of the file's name. Called as: --scan FORMAT LIST OUTPUT.
out="$4"
# Like the real helper, the output file exists before anything is examined.
: >> "$out"
tr '\000' '\n' < "$3" > "$out.paths"
i=0
while IFS= read -r path; do
  name=${path##*/}
  case "$name" in
    ok*) printf '{"entry":{"name":"%s"},"i":%d}\n' "$name" "$i" >> "$out" ;;
    noentry*) printf '{"i":%d}\n' "$i" >> "$out" ;;
    notobject*) printf '{"entry":[1,2],"i":%d}\n' "$i" >> "$out" ;;
    garbage*) echo 'not json' >> "$out" ;;
    wrongi*) printf '{"entry":{},"i":%d}\n' $((i + 5)) >> "$out" ;;
    stringi*) printf '{"entry":{},"i":"%d"}\n' "$i" >> "$out" ;;
    array*) echo '[0]' >> "$out" ;;
    cut*) printf '{"entry":{"na' >> "$out"; exit 0 ;;
    skip*) ;;
    crash*) kill -SEGV $$ ;;
    stop*) kill -STOP $$ ;;
    hang*) exec sleep 600 ;;
    slow*) sleep 0.6; printf '{"entry":{},"i":%d}\n' "$i" >> "$out" ;;
    late*) sleep 30; printf '{"entry":{},"i":%d}\n' "$i" >> "$out" ;;
    tick*) sleep 5; printf '{"entry":{},"i":%d}\n' "$i" >> "$out" ;;
    exit*) exit "${name#exit}" ;;
  esac
  i=$((i + 1))
done < "$out.paths"
exit "${FAKE_HELPER_EXIT:-0}"
