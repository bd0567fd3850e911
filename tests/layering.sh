#!/usr/bin/env bash
# Fails when a folder of src/ includes one that it must not: every folder
# stands on base/, which stands on nothing; the engine never reaches the
# shell; the transfers and the patch thread never reach the engine.
cd "$(dirname "$0")/../src" || exit 2
declare -A allowed=(
  [app]="services update transfer patch base"
  [update]="services transfer patch base"
  [services]="base"
  [transfer]="base"
  [patch]="base"
  [base]=""
)
status=0
while IFS=: read -r file _ line; do
  from=${file%%/*}
  target=$(sed -n 's/^#include "\([^"]*\)".*/\1/p' <<<"$line")
  to=${target%%/*}
  [[ $target == */* && $to != "$from" ]] || continue
  [[ " ${allowed[$from]} " == *" $to "* ]] && continue
  echo "layering: $file includes $target ($from must not depend on $to)"
  status=1
done < <(grep -rn '^#include "' app update services transfer patch base)
exit $status
