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

SCENES=(block fpga start announce detect rtp rtsp ts log stop)

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

scene_announce() {
    say "At start-up the service announced itself on mailbox 3 (message code 25)"
    run sim_mgmt mailbox read 3
}

scene_detect() {
    say "Ask for a format detection now (command 4), with the real mailbox handshake"
    run sim_mgmt command detect
    sleep 0.3
    say "The detected format the service wrote back into the block"
    run sim_mgmt show cur_audio_source cur_audio_bits cur_audio_codec cur_audio_channels cur_audio_rate
}

scene_rtp() {
    say "RTP: confirm the format (two more detections), then the SDP line the RTSP server reads"
    run sim_mgmt command detect
    run sim_mgmt command detect
    local i
    for i in $(seq 50); do [ -s /tmp/audio_auxSDPLine ] && break; sleep 0.1; done
    run cat /tmp/audio_auxSDPLine
    if [ ! -s /tmp/audio_auxSDPLine ]; then
        echo "      no SDP line: the format was not applied"
        return 1
    fi

    say "ffmpeg listens on port 5004 with an SDP made from that line; tshark watches the wire"
    {
        printf 'v=0\no=- 0 0 IN IP4 127.0.0.1\ns=audio\nc=IN IP4 127.0.0.1\nt=0 0\n'
        printf 'm=audio 5004 RTP/AVP 98\n'
        cat /tmp/audio_auxSDPLine
    } >/tmp/demo.sdp
    # ffmpeg ends by itself once no packet has come for listen_timeout seconds.
    ffmpeg -nostdin -hide_banner -loglevel error -protocol_whitelist file,udp,rtp \
        -listen_timeout 3 -i /tmp/demo.sdp -c:a pcm_s16le -y /tmp/demo.wav >/tmp/demo-ffmpeg.out 2>&1 &
    local ffmpeg_pid=$!
    tshark -i lo -f "udp port 5004 or udp port 5005" -w /tmp/demo.pcapng >/tmp/demo-tshark.out 2>&1 &
    local tshark_pid=$!
    for i in $(seq 100); do
        grep -q ':138C ' /proc/net/udp && grep -q 'Capturing' /tmp/demo-tshark.out && break
        sleep 0.1
    done

    say "The RTSP server adds ffmpeg as a receiver (command 1: RTP 5004, RTCP 5005)"
    run sim_mgmt command add --ip 127.0.0.1 --rtp-port 5004 --rtcp-port 5005 --tag RTSP

    say "The capture stand-in plays a 3 s 1 kHz tone into the feed (127.0.0.1:18005)"
    run sim_capture --tone 1000 --size 1920 --duration 3 --record /tmp/demo-sent.raw

    say "The RTSP server removes its receivers (command 3); ffmpeg stops 3 s after the last packet"
    run sim_mgmt command del-rtsp
    wait "$ffmpeg_pid" 2>/dev/null || true
    kill -INT "$tshark_pid" 2>/dev/null || true
    wait "$tshark_pid" 2>/dev/null || true

    say "What came back"
    local packets lost seconds same
    # Sequence numbers as tshark reads them: losses are the gaps between first and last.
    read -r packets lost < <(tshark -r /tmp/demo.pcapng -d udp.port==5004,rtp -Y rtp \
        -T fields -e rtp.seq 2>/dev/null |
        awk 'NR == 1 {first = $1} {n++; last = $1} END {print n + 0, (n ? last - first + 1 - n : 0)}')
    seconds=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 /tmp/demo.wav 2>/dev/null || echo "?")
    if ffmpeg -v error -i /tmp/demo.wav -f s16be - 2>/dev/null | cmp -s - /tmp/demo-sent.raw; then
        same="yes: the WAV holds exactly the samples the capture stand-in sent"
    else
        same="no: the WAV differs from the samples sent"
    fi
    echo "      RTP packets received : $packets"
    echo "      packets lost         : $lost (gaps in the sequence numbers)"
    echo "      audio in the WAV     : ${seconds} s (/tmp/demo.wav)"
    echo "      bit-exact            : $same"
    echo "      sender reports seen  : $(tshark -r /tmp/demo.pcapng -d udp.port==5005,rtcp -Y 'rtcp.pt == 200' 2>/dev/null | wc -l)"
}

scene_rtsp() {
    say "RTSP: the RTSP server stand-in, kept running by sim_supervise, serves rtsp://127.0.0.1:8554/audio"
    printf '    $ sim_supervise -- rtspServer &\n'
    sim_supervise -- rtspServer >/tmp/demo-rtsp.out 2>&1 &
    local supervisor=$! i
    for i in $(seq 100); do grep -q 'RTSP on port' /tmp/demo-rtsp.out && break; sleep 0.1; done

    say "ffmpeg opens it as an RTSP client over UDP and records 3 s as raw s16be"
    printf '    $ ffmpeg -rtsp_transport udp -i rtsp://127.0.0.1:8554/audio -t 3 -f s16be demo-rtsp.raw &\n'
    timeout 30 ffmpeg -nostdin -hide_banner -loglevel error -rtsp_transport udp \
        -i rtsp://127.0.0.1:8554/audio -t 3 -f s16be -y /tmp/demo-rtsp.raw >/tmp/demo-rtsp-ffmpeg.out 2>&1 &
    local ffmpeg_pid=$!
    for i in $(seq 100); do grep -q 'PLAY session' /tmp/demo-rtsp.out && break; sleep 0.1; done
    say "The capture stand-in plays a 4 s 440 Hz tone"
    run sim_capture --tone 440 --size 1920 --duration 4 --record /tmp/demo-rtsp-sent.raw
    wait "$ffmpeg_pid" || sed 's/^/      ffmpeg: /' /tmp/demo-rtsp-ffmpeg.out
    sleep 0.5  # ffmpeg's TEARDOWN reaches the server

    say "What the RTSP server printed"
    sed 's/^/      /' /tmp/demo-rtsp.out
    kill "$supervisor" 2>/dev/null || true
    wait "$supervisor" 2>/dev/null || true
    local got exact
    got=$(stat -c %s /tmp/demo-rtsp.raw 2>/dev/null || echo 0)
    if [ "$got" -gt 0 ] && head -c "$got" /tmp/demo-rtsp-sent.raw | cmp -s - /tmp/demo-rtsp.raw; then
        exact="yes: the first $got bytes the capture stand-in sent, unchanged"
    else
        exact="NO: what ffmpeg recorded differs from what the capture stand-in sent"
    fi
    say "Summary"
    echo "      recorded:   $got bytes, $(awk "BEGIN { printf \"%.2f\", $got / 192000 }") s of 48 kHz stereo s16be"
    echo "      bit-exact:  $exact"
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
        -show_entries stream=codec_name,sample_fmt,sample_rate,channels /tmp/demo.ts | sed -n 1p)
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
