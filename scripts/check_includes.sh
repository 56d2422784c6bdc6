#!/usr/bin/env bash
# Checks that includes flow one way through src/ (top to bottom):
#   bridge -> app -> automation, web, cloud -> fleet -> mission, nfz -> vehicle, firmware
#       -> telemetry, params -> protocol -> link -> common, settings
# A folder may include its own layer and those below it, never one above. web/ and cloud/ may
# include app/ (they serve it), but web/ never the CLI's automation/. bridge/ (the MAVLink bridge)
# sits on top: it commands through the CLI router and nothing includes it. Prints each offending
# include and exits 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."

# folder: folders it must not include
rules=(
  "common:link protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app bridge"
  "settings:link protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app bridge"
  "link:protocol vehicle firmware telemetry params mission nfz fleet cloud automation web app bridge"
  "protocol:vehicle firmware telemetry params mission nfz fleet cloud automation web app bridge"
  "telemetry:mission nfz fleet cloud automation web app bridge"
  "params:mission nfz fleet cloud automation web app bridge"
  "vehicle:mission nfz fleet cloud automation web app bridge"
  "firmware:mission nfz fleet cloud automation web app bridge"
  "mission:fleet cloud automation web app bridge"
  "nfz:fleet cloud automation web app bridge"
  "fleet:cloud automation web app bridge"
  "web:automation bridge"
  "automation:bridge"
  "cloud:bridge"
  "app:bridge"
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
