#!/usr/bin/env bash
# Fails when a folder of src/ includes one that it must not: the engine never
# reaches the shell, the transfers and the patch thread never reach the engine.
# The three leaf headers may be included from anywhere.
cd "$(dirname "$0")/../src" || exit 2
declare -A allowed=(
  [app]="services update transfer patch"
  [update]="services transfer patch"
  [services]=""
  [transfer]=""
  [patch]=""
)
leaves="update/records.h app/platform.h app/buildconfig.h"
status=0
while IFS=: read -r file _ line; do
  from=${file%%/*}
  target=$(sed -n 's/^#include "\([^"]*\)".*/\1/p' <<<"$line")
  to=${target%%/*}
  [[ $target == */* && $to != "$from" ]] || continue
  [[ " $leaves " == *" $target "* || " ${allowed[$from]} " == *" $to "* ]] && continue
  echo "layering: $file includes $target ($from must not depend on $to)"
  status=1
done < <(grep -rn '^#include "' app update services transfer patch)
exit $status
