#!/usr/bin/env bash
# Checks that includes flow one way through src/ (top to bottom):
#   app -> automation, web, cloud -> fleet -> mission, nfz -> vehicle, firmware
#       -> telemetry, params -> protocol -> link -> common, settings
# A folder may include its own layer and those below it, never one above. web/ and cloud/ may
# include app/ (they serve it), but web/ never the CLI's automation/. Prints each offending
# include and exits 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."

# folder: folders it must not include
rules=(
  "common:link protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app"
  "settings:link protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app"
  "link:protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app"
  "protocol:vehicle firmware telemetry params mission nfz fleet cloud automation web app"
  "telemetry:mission nfz fleet cloud automation web app"
  "params:mission nfz fleet cloud automation web app"
  "vehicle:mission nfz fleet cloud automation web app"
  "firmware:mission nfz fleet cloud automation web app"
  "mission:fleet cloud automation web app"
  "nfz:fleet cloud automation web app"
  "fleet:cloud automation web app"
  "web:automation"
)
bad=0
for rule in "${rules[@]}"; do
  folder=${rule%%:*}
  for above in ${rule#*:}; do
    if grep -rn --include='*.h' --include='*.cpp' "#include \"$above/" "src/$folder" 2>/dev/null; then
      bad=1
    fi
  done
done
if [ $bad -ne 0 ]; then
  echo "include direction: the lines above reach a layer above their own" >&2
  exit 1
fi
echo "include direction: clean"
