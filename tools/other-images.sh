#!/usr/bin/env bash
# The embedded images' tests and one whole update of the simulated device, built with a second
# pair of valid images in place of the placeholders (another length, record layout and data, no
# placeholder mark): a build with the product's images must pass them too. The pair is made
# here by make_placeholders --other, into build/other-images/images/.
set -euo pipefail
cd "$(dirname "$0")/.."

images=build/other-images/images
mkdir -p "$images"
"${CXX:-c++}" -std=c++20 -O1 -o "$images/make_placeholders" firmware/tools/make_placeholders.cpp
"$images/make_placeholders" --other "$images"
cmake --workflow --preset other-images
