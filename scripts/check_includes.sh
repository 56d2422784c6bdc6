#!/usr/bin/env bash
# Checks that includes flow one way through src/ (top to bottom):
#   app -> automation, web, bridge -> services -> cloud -> fleet -> mission, nfz -> vehicle, firmware
#       -> telemetry, params -> protocol -> link -> common, settings
# A folder may include its own layer and those below it, never one above. The front ends
# (automation/ the CLI, web/ the page, bridge/ MAVLink) are siblings that never include each
# other nor app/, which only wires the program together. Prints each offending include and exits
# 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."

# folder: folders it must not include
rules=(
  "common:link protocol vehicle firmware telemetry params mission nfz fleet cloud services automation web app bridge"
  "settings:link protocol vehicle firmware telemetry params mission nfz fleet cloud services automation web app bridge"
  "link:protocol vehicle firmware telemetry params mission nfz fleet cloud services automation web app bridge"
  "protocol:vehicle firmware telemetry params mission nfz fleet cloud services automation web app bridge"
  "telemetry:mission nfz fleet cloud services automation web app bridge"
  "params:mission nfz fleet cloud services automation web app bridge"
  "vehicle:mission nfz fleet cloud services automation web app bridge"
  "firmware:mission nfz fleet cloud services automation web app bridge"
  "mission:fleet cloud services automation web app bridge"
  "nfz:fleet cloud services automation web app bridge"
  "fleet:cloud services automation web app bridge"
  "cloud:services automation web app bridge"
  "services:automation web app bridge"
  "web:automation app bridge"
  "automation:web app bridge"
  "bridge:automation web app"
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
