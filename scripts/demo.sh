#!/usr/bin/env bash
# The demo drives the `vorlent` command through a whole registration package: it arrives
# together with the command-line tool.
echo "make demo: the vorlent command is not built yet; the demo comes with it."
