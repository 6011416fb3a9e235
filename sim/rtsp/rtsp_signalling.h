// RTSP/1.0 signalling (RFC 2326) for the RTSP server stand-in: one stream, /audio, whose
// SDP carries the rtpmap line the service leaves in /tmp/audio_auxSDPLine. A SETUP adds
// the player as a receiver through the block's command mailbox, a TEARDOWN or a session
// idle for 60 s removes it; the service itself sends the RTP and RTCP. One thread: a poll
// loop over the listening socket and the connections. Built only where GStreamer's RTSP
// and SDP libraries are found; they parse and build the messages.
#pragma once

namespace rtsp_signalling {

struct Options {
    const char* name;   // the program's name, which opens every line it prints
    int port;           // TCP port to listen on, every address
    long lifetime_sec;  // serve this long, then remove the receivers it added and return
};

// Posts command 3: the receivers an earlier run added have lost their sessions with it.
// Prints what became of the command.
void remove_earlier_receivers(const char* name);

// Serves until the lifetime ends. Returns the exit status: 0 at the end of the lifetime,
// 1 when the port cannot be listened on.
int serve(const Options& options);

}  // namespace rtsp_signalling
