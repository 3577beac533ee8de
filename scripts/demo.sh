#!/usr/bin/env bash
# The main job: build the library, render a short recording that carries
# known code words under noise (at the scheme's 16 kHz, and at 48 kHz in
# stereo), decode it with the decode tool and through the app-facing decoder
# (examples/decode_wav: an app that does what the README shows, sending the
# scheme's words to its TRIGGER delegate through the built-in plug-ins and
# feeding the 48 kHz file to a custom recorder), and print what was found
# next to what was sent; then run the whole core on its bus (the 48 kHz
# recording through the app-fed recorder, the decoder and a code-word
# processor) and print the CodewordSignals that reach the bus.
# TL_BUILD_DIR (default build) and TL_JOBS choose the build folder and its
# parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TL_BUILD_DIR:-build}
./scripts/bootstrap.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "${TL_JOBS:-$(nproc)}" --target tl_decode tl_gen decode_wav tl_core_demo

config=tests/data/scheme_t2_vtw.cfg   # VorselTW, 16 kHz, two bands, 2.56 s per word
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Six words of station 4242 as its transmitter sent them a minute ago, at
# 10 dB SNR in white noise.
start_ms=$(( ($(date +%s) - 60) * 1000 ))

echo
echo "== sent: six words of station 4242, 10 dB SNR, $config"
"$build/tools/tl_gen" --snr 10 --seed 7 --lead-in 1.3 --tail 1 \
  --timed "$start_ms" 6 --id 4242 "$config" "$work/demo.wav" | tee "$work/sent.txt"

"$build/tools/tl_gen" --snr 10 --seed 7 --lead-in 1.3 --tail 1 --rate 48000 --channels 2 \
  --timed "$start_ms" 6 --id 4242 "$config" "$work/demo48k.wav" >/dev/null

echo
echo "== decoded from $work/demo.wav"
"$build/tools/tl_decode" "$config" "$work/demo.wav" | tee "$work/found.txt"

echo
echo "== through TLDecoder: examples/decode_wav feeds $work/demo48k.wav (48 kHz stereo) to a custom recorder"
"$build/examples/decode_wav/decode_wav" "$config" "$work/demo48k.wav" "$work/app" 2>/dev/null \
  | tee "$work/app.txt"

# Words of a listing, one per line, sorted: column $2 of $1, hexadecimal.
words() { awk -v c="$2" '{print $c}' "$1" | sort -u; }
sent=$(words "$work/sent.txt" 3)
compare() {  # name, found words
  local matched missed extra
  matched=$(comm -12 <(echo "$sent") <(echo "$2") | grep -c . || true)
  missed=$(comm -23 <(echo "$sent") <(echo "$2") | grep -c . || true)
  extra=$(comm -13 <(echo "$sent") <(echo "$2") | grep -c . || true)
  echo "$1: sent $(echo "$sent" | grep -c .), found $matched, missed $missed, not sent $extra"
  [ "$missed" -eq 0 ] && [ "$extra" -eq 0 ]
}
echo
echo "== sent vs found"
ok=0
compare "decode tool" "$(words "$work/found.txt" 5)" || ok=1
app_words=$(grep '^codeword ' "$work/app.txt" | while read -r _ w _; do printf '0x%010x\n' "$w"; done | sort -u)
compare "TLDecoder  " "$app_words" || ok=1
[ "$ok" -eq 0 ]

echo
echo "== the whole core on its bus: 48 kHz app audio -> recorder -> decoder -> processor -> bus"
"$build/tools/tl_core_demo" "$config" "$work/demo48k.wav" | tee "$work/bus.txt"
on_bus=$(awk '$1 == "codeword" {print $3}' "$work/bus.txt" | sort -u)
sent_dec=$(for w in $sent; do printf '%d\n' "$w"; done | sort)
missed_bus=$(comm -23 <(echo "$sent_dec") <(echo "$on_bus") | grep -c . || true)
extra_bus=$(comm -13 <(echo "$sent_dec") <(echo "$on_bus") | grep -c . || true)
echo "on the bus: missed $missed_bus, not sent $extra_bus"
[ "$missed_bus" -eq 0 ] && [ "$extra_bus" -eq 0 ]
