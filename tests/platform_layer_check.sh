#!/usr/bin/env bash
# platform/ is the lowest layer: no file under it includes a header of the
# folders above it (services/, exchange/, settings/, job/). Prints each such
# include and fails when there is one. Usage: platform_layer_check.sh SOURCE_DIR.
grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<](\.\./)*(services|exchange|settings|job)/' "$1/platform"
[ $? -eq 1 ]
