#!/usr/bin/env bash
# The Prometheus set-up that docs/plant.md shows, checked by Prometheus's own promtool: the scrape
# configuration (with the rule file it names) and the alerting rules, as a user would copy them.
#   check_plant.sh PLANT_MD
# Exit status 77 (skipped) where promtool is not installed.
set -euo pipefail
plant=$1
command -v promtool >/dev/null || { echo "promtool is not installed (scripts/setup installs prometheus): skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The yaml block that holds `key`, from docs/plant.md.
block() {
  awk -v key="$1" '
    /^```yaml$/ { inside = 1; text = ""; next }
    /^```$/ && inside { inside = 0; if (text ~ key) { printf "%s", text; exit } next }
    inside { text = text $0 "\n" }' "$plant"
}

block "scrape_configs:" >"$work/prometheus.yml"
block "groups:" >"$work/busgate-rules.yml"
for file in prometheus.yml busgate-rules.yml; do
  [ -s "$work/$file" ] || { echo "docs/plant.md shows no $file"; exit 1; }
done
grep -q 'busgate-rules.yml' "$work/prometheus.yml" || { echo "the scrape configuration names no rule file"; exit 1; }
for alert in BusgateSenderDown BusgateLosses BusgateStationMissing; do
  grep -q "alert: $alert\$" "$work/busgate-rules.yml" || { echo "no rule $alert"; exit 1; }
done
promtool check rules "$work/busgate-rules.yml"
(cd "$work" && promtool check config prometheus.yml)
