#!/usr/bin/env bash
# Installs, with apt-get and only when missing, every Debian 12 package the project needs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  libsndfile1-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg
  portaudio19-dev
  libssl-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-mido
  binutils xvfb
  desktop-file-utils lua5.4
  clang libclang-rt-14-dev
  # The written-music corpus of the accuracy benchmark and its guard test: the synthesiser, its
  # three soundfonts, the MMA groove library and two game soundtracks written as MIDI files.
  libfluidsynth-dev fluid-soundfont-gm musescore-general-soundfont timgm6mb-soundfont
  mma openttd-openmsx planetblupi-music-midi
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
