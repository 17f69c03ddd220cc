#!/usr/bin/env bash
# Loads the bundled example firmware and prints its image summary.
set -euo pipefail
build=${1:-build}
"$build/cli/quarnelix-dfu-cli" hex examples/quarnelix_v3_demo.hex
