#!/usr/bin/env bash
# Runs the service on a simulated appliance and narrates what happens: builds the release
# preset, then, inside a fresh appliance-sandbox, plays the management process with
# sim_mgmt while audio_rtsp_to_screen runs. Bounded: the whole show ends within
# DEMO_TIMEOUT seconds (default 180).
#
# Adding a scene: write a function scene_NAME that narrates with `say` and runs commands
# with `run`, and add NAME to SCENES below (in the order they should play). The service
# runs from scene "start" to scene "stop"; its pid is $SERVICE_PID and its output goes
# to $SERVICE_OUT.
set -euo pipefail

SCENES=(block fpga start detect ts log stop)

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/release

say() { printf '\n==> %s\n' "$*"; }
run() {
    printf '    $ %s\n' "$*"
    "$@" 2>&1 | sed 's/^/      /'
    return "${PIPESTATUS[0]}"
}

# --- The scenes (run inside the sandbox). ---

scene_block() {
    say "The management process creates the shared configuration block (key 1005) with defaults"
    run sim_mgmt create
    run sim_mgmt show use_alt_settings audio_output_mode audio_channel_mode audio_codec mtu board_type
}

scene_fpga() {
    say "The capture FPGA reports the analog (ADC) audio input in its register"
    run sim_mgmt fpga adc
    run sim_mgmt fpga show
}

scene_start() {
    say "Start the service under the name that logs to the screen"
    SERVICE_OUT=/tmp/demo-service.out
    printf '    $ audio_rtsp_to_screen &\n'
    audio_rtsp_to_screen >"$SERVICE_OUT" 2>&1 &
    SERVICE_PID=$!
    sleep 0.5
    if kill -0 "$SERVICE_PID" 2>/dev/null; then
        echo "      running as pid $SERVICE_PID (the sandbox's own pid namespace)"
    else
        echo "      the service ended at once:"
        sed 's/^/      /' "$SERVICE_OUT"
        return 1
    fi
}

scene_detect() {
    say "Ask for a format detection now (command 4), with the real mailbox handshake"
    run sim_mgmt command detect
    sleep 0.3
    say "The detected format the service wrote back into the block"
    run sim_mgmt show cur_audio_source cur_audio_bits cur_audio_codec cur_audio_channels cur_audio_rate
}

scene_ts() {
    say "Transport stream: output mode 2 sends to ts_dest_ip (127.0.0.1), port 1234; the socket was opened at start-up"
    run sim_mgmt set audio_output_mode=2
    say "A receiver records the stream into a file while the capture process sends 3 s of the 1 kHz tone"
    printf '    $ sim_ts_dump --out /tmp/demo.ts --seconds 5 &\n'
    sim_ts_dump --out /tmp/demo.ts --seconds 5 >/tmp/demo-dump.out 2>&1 &
    local dump=$!
    sleep 1  # a PAT and a PMT reach the file before the first audio packet
    run sim_capture --duration 3 --record /tmp/demo-sent.raw
    wait "$dump"
    sed 's/^/      /' /tmp/demo-dump.out
    say "ffmpeg decodes the audio into a WAV file"
    run ffmpeg -hide_banner -loglevel error -y -i /tmp/demo.ts -map 0:a -c:a pcm_s16le "$BUILD/demo-ts.wav"
    ffmpeg -hide_banner -loglevel fatal -y -i /tmp/demo.ts -map 0:a -f s16be /tmp/demo-ts.raw
    local probed duration exact
    # The stream is listed under its program too: keep the first line.
    probed=$(ffprobe -v error -select_streams a -of csv=p=0 \
        -show_entries stream=codec_name,sample_fmt,sample_rate,channels /tmp/demo.ts | head -n 1)
    duration=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$BUILD/demo-ts.wav")
    if cmp -s /tmp/demo-ts.raw /tmp/demo-sent.raw; then
        exact="yes, $(stat -c %s /tmp/demo-sent.raw) bytes identical to what the capture process sent"
    else
        exact="NO: the decoded samples differ from what the capture process sent"
    fi
    say "Summary"
    echo "      received:   $(cat /tmp/demo-dump.out)"
    echo "      ffprobe:    ${probed//,/ }  (codec, sample format, rate, channels)"
    echo "      duration:   ${duration} s of audio in $BUILD/demo-ts.wav"
    echo "      bit-exact:  $exact"
    run sim_mgmt set audio_output_mode=1
}

scene_log() {
    say "What the service printed so far"
    sed 's/^/      /' "$SERVICE_OUT"
}

scene_stop() {
    say "Stop the service"
    run kill "$SERVICE_PID"
    wait "$SERVICE_PID" 2>/dev/null || true
    run sim_mgmt remove
    echo "      (leaving the sandbox removes its /tmp, /dev/mem and every process in it)"
}

inside() {
    export PATH="$BUILD:$BUILD/sim:$PATH"
    local scene
    for scene in "${SCENES[@]}"; do
        "scene_$scene"
    done
    say "Done"
}

# --- Outside: set up, build, enter the sandbox. ---

main() {
    cd "$ROOT"
    say "Installing what is missing"
    scripts/setup.sh
    say "Building the release preset"
    cmake --preset release >/dev/null
    cmake --build --preset release | tail -n 1
    say "Entering a fresh appliance-sandbox: private IPC, network, PIDs, /tmp and /dev/mem"
    timeout --kill-after=5 "${DEMO_TIMEOUT:-180}" \
        "$BUILD/sim/appliance-sandbox" --keep "$ROOT" -- bash "$ROOT/scripts/demo.sh" --inside-sandbox
}

if [ "${1-}" = --inside-sandbox ]; then
    inside
else
    main "$@"
fi
