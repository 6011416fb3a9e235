#include "rtsp_signalling.h"

#include <gio/gio.h>
#include <gst/rtsp/rtsp.h>
#include <gst/sdp/sdp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "input/format_poll.h"
#include "mgmt_block.h"

namespace rtsp_signalling {
namespace {

constexpr int kMaxSessions = 32;  // the service's receiver table holds 32
constexpr int kMaxConnections = 64;
constexpr long kSessionTimeoutSec = 60;
constexpr gint64 kIoTimeoutUsec = 2'000'000;  // a request that stalls halfway ends there
constexpr int kCommandTimeoutMs = 5000;
constexpr const char* kPublic = "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER";

struct Session {
    bool used = false;
    char id[17] = {};
    std::string ip;
    std::uint16_t rtp_port = 0, rtcp_port = 0;
    long last_request = 0;  // monotonic seconds
};

struct Server {
    const char* name = "";
    Session sessions[kMaxSessions];
    GstRTSPConnection* connections[kMaxConnections] = {};
    std::mt19937_64 random{std::random_device{}()};
};

long now_sec() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec;
}

// Posts one mailbox command with the real handshake; "" when the service served it.
std::string post(const mgmt::Command& cmd) {
    if (!shm_config) {
        const std::string error = mgmt::attach_block();
        if (!error.empty()) return error;
    }
    return mgmt::issue_command(cmd);
}

std::string post_removal(const Session& s) {
    mgmt::Command cmd;
    cmd.code = 2;
    cmd.dest_ip = s.ip;
    cmd.rtp_port = s.rtp_port;
    cmd.timeout_ms = kCommandTimeoutMs;
    return post(cmd);
}

void drop(Server& srv, Session& s, const char* why) {
    const std::string error = post_removal(s);
    std::printf("%s: %s session %s: %s:%u removed%s%s\n", srv.name, why, s.id, s.ip.c_str(),
                s.rtp_port, error.empty() ? "" : ", command 2 failed: ", error.c_str());
    std::fflush(stdout);
    s = Session{};
}

Session* find_session(Server& srv, const GstRTSPMessage& req) {
    gchar* value = nullptr;
    if (gst_rtsp_message_get_header(&req, GST_RTSP_HDR_SESSION, &value, 0) != GST_RTSP_OK)
        return nullptr;
    const std::size_t len = std::strcspn(value, ";");  // the id, without ";timeout=..."
    for (Session& s : srv.sessions)
        if (s.used && std::strlen(s.id) == len && std::strncmp(s.id, value, len) == 0) return &s;
    return nullptr;
}

bool has_header(const GstRTSPMessage& req, GstRTSPHeaderField field) {
    gchar* value = nullptr;
    return gst_rtsp_message_get_header(&req, field, &value, 0) == GST_RTSP_OK;
}

// The stream's paths: the aggregate (/audio, as the SDP's Content-Base ends in a slash) and
// its one track.
bool known_path(const char* uri) {
    if (std::strcmp(uri, "*") == 0) return true;
    GstRTSPUrl* url = nullptr;
    if (gst_rtsp_url_parse(uri, &url) != GST_RTSP_OK) return false;
    const std::string path = url->abspath ? url->abspath : "";
    gst_rtsp_url_free(url);
    return path == "/audio" || path == "/audio/" || path == "/audio/track0";
}

// The rtpmap line the service left, e.g. "a=rtpmap:98 L16/48000/2" gives "98 L16/48000/2";
// "" when there is none.
std::string rtpmap_value() {
    char line[256] = {};
    if (FILE* fp = std::fopen(kSdpLinePath, "r")) {
        if (!std::fgets(line, sizeof line, fp)) line[0] = '\0';
        std::fclose(fp);
    }
    trim_line_end(line);
    constexpr std::string_view prefix = "a=rtpmap:";
    const std::string_view text = line;
    return text.starts_with(prefix) && text.size() > prefix.size()
               ? std::string(text.substr(prefix.size()))
               : std::string();
}

std::string sdp_text(const std::string& rtpmap) {
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new(&sdp);
    gst_sdp_message_set_version(sdp, "0");
    gst_sdp_message_set_origin(sdp, "-", "1", "1", "IN", "IP4", "0.0.0.0");
    gst_sdp_message_set_session_name(sdp, "audio");
    gst_sdp_message_set_connection(sdp, "IN", "IP4", "0.0.0.0", 0, 0);
    gst_sdp_message_add_time(sdp, "0", "0", nullptr);
    GstSDPMedia* media = nullptr;
    gst_sdp_media_new(&media);
    gst_sdp_media_set_media(media, "audio");
    gst_sdp_media_set_port_info(media, 0, 1);  // RFC 2326 C.1.7: the port comes with SETUP
    gst_sdp_media_set_proto(media, "RTP/AVP");
    gst_sdp_media_add_format(media, "98");
    gst_sdp_media_add_attribute(media, "rtpmap", rtpmap.c_str());
    gst_sdp_media_add_attribute(media, "control", "track0");
    gst_sdp_message_add_media(sdp, media);
    gst_sdp_media_free(media);
    gchar* text = gst_sdp_message_as_text(sdp);
    std::string out = text;
    g_free(text);
    gst_sdp_message_free(sdp);
    return out;
}

// The first transport offered that the service can serve: RTP over unicast UDP with the
// player's two ports. 0 when none.
bool pick_transport(const char* header, std::uint16_t& rtp, std::uint16_t& rtcp) {
    gchar** offers = g_strsplit(header, ",", 16);
    bool found = false;
    for (gchar** offer = offers; *offer && !found; ++offer) {
        GstRTSPTransport* t = nullptr;
        gst_rtsp_transport_new(&t);
        if (gst_rtsp_transport_parse(g_strstrip(*offer), t) == GST_RTSP_OK &&
            t->trans == GST_RTSP_TRANS_RTP && t->profile == GST_RTSP_PROFILE_AVP &&
            t->lower_transport == GST_RTSP_LOWER_TRANS_UDP && t->client_port.min > 0 &&
            t->client_port.min < 65536 && t->client_port.max > 0 && t->client_port.max < 65536) {
            rtp = static_cast<std::uint16_t>(t->client_port.min);
            rtcp = static_cast<std::uint16_t>(t->client_port.max);
            found = true;
        }
        gst_rtsp_transport_free(t);
    }
    g_strfreev(offers);
    return found;
}

void setup(Server& srv, GstRTSPConnection* conn, const GstRTSPMessage& req, GstRTSPMessage& resp) {
    auto reply = [&](GstRTSPStatusCode code, const char* reason) {
        gst_rtsp_message_init_response(&resp, code, reason, &req);
    };
    gchar* transport = nullptr;
    std::uint16_t rtp = 0, rtcp = 0;
    if (gst_rtsp_message_get_header(&req, GST_RTSP_HDR_TRANSPORT, &transport, 0) != GST_RTSP_OK ||
        !pick_transport(transport, rtp, rtcp))
        return reply(GST_RTSP_STS_UNSUPPORTED_TRANSPORT,
                     "Unsupported transport: only RTP/AVP over unicast UDP with client_port");
    if (has_header(req, GST_RTSP_HDR_SESSION))
        return find_session(srv, req)
                   ? reply(GST_RTSP_STS_METHOD_NOT_VALID_IN_THIS_STATE, "Stream already set up")
                   : reply(GST_RTSP_STS_SESSION_NOT_FOUND, nullptr);
    const std::string ip = gst_rtsp_connection_get_ip(conn);
    Session* free_slot = nullptr;
    for (Session& s : srv.sessions) {
        if (s.used && s.ip == ip && s.rtp_port == rtp)
            return reply(GST_RTSP_STS_UNSUPPORTED_TRANSPORT,
                         "Unsupported transport: client_port taken by another session");
        if (!s.used && !free_slot) free_slot = &s;
    }
    if (!free_slot)
        return reply(GST_RTSP_STS_NOT_ENOUGH_BANDWIDTH,
                     "Not Enough Bandwidth: 32 sessions are set up");
    mgmt::Command cmd;
    cmd.code = 1;
    cmd.dest_ip = ip;
    cmd.rtp_port = rtp;
    cmd.rtcp_port = rtcp;
    cmd.client_tag = "RTSP";
    cmd.timeout_ms = kCommandTimeoutMs;
    if (const std::string error = post(cmd); !error.empty()) {
        std::printf("%s: SETUP for %s:%u refused: %s\n", srv.name, ip.c_str(), rtp, error.c_str());
        return reply(GST_RTSP_STS_SERVICE_UNAVAILABLE, "Service Unavailable: no audio service");
    }
    Session& s = *free_slot;
    s.used = true;
    std::snprintf(s.id, sizeof s.id, "%016llx", static_cast<unsigned long long>(srv.random()));
    s.ip = ip;
    s.rtp_port = rtp;
    s.rtcp_port = rtcp;
    s.last_request = now_sec();
    reply(GST_RTSP_STS_OK, nullptr);
    const std::string session =
        std::string(s.id) + ";timeout=" + std::to_string(kSessionTimeoutSec);
    gst_rtsp_message_take_header(&resp, GST_RTSP_HDR_SESSION, g_strdup(session.c_str()));
    // No server_port: the service sends from ports of its own choosing, unknown here.
    const std::string answer =
        "RTP/AVP;unicast;client_port=" + std::to_string(rtp) + "-" + std::to_string(rtcp);
    gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_TRANSPORT, answer.c_str());
    std::printf("%s: SETUP session %s: %s:%u-%u added\n", srv.name, s.id, ip.c_str(), rtp, rtcp);
}

void handle(Server& srv, GstRTSPConnection* conn, const GstRTSPMessage& req, GstRTSPMessage& resp) {
    auto reply = [&](GstRTSPStatusCode code, const char* reason = nullptr) {
        gst_rtsp_message_init_response(&resp, code, reason, &req);
    };
    GstRTSPMethod method = GST_RTSP_INVALID;
    const gchar* uri = nullptr;
    GstRTSPVersion version = GST_RTSP_VERSION_INVALID;
    gst_rtsp_message_parse_request(const_cast<GstRTSPMessage*>(&req), &method, &uri, &version);
    if (version != GST_RTSP_VERSION_1_0) return reply(GST_RTSP_STS_RTSP_VERSION_NOT_SUPPORTED);
    if (!has_header(req, GST_RTSP_HDR_CSEQ)) return reply(GST_RTSP_STS_BAD_REQUEST);
    if (!(method & (GST_RTSP_OPTIONS | GST_RTSP_DESCRIBE | GST_RTSP_SETUP | GST_RTSP_PLAY |
                    GST_RTSP_TEARDOWN | GST_RTSP_GET_PARAMETER)))
        return reply(GST_RTSP_STS_NOT_IMPLEMENTED);
    if (!uri || !known_path(uri)) return reply(GST_RTSP_STS_NOT_FOUND);

    Session* session = find_session(srv, req);
    if (session) session->last_request = now_sec();
    if (!session && has_header(req, GST_RTSP_HDR_SESSION) && method != GST_RTSP_SETUP)
        return reply(GST_RTSP_STS_SESSION_NOT_FOUND);
    switch (method) {
        case GST_RTSP_OPTIONS:
            reply(GST_RTSP_STS_OK);
            gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_PUBLIC, kPublic);
            return;
        case GST_RTSP_DESCRIBE: {
            const std::string rtpmap = rtpmap_value();
            if (rtpmap.empty())
                return reply(GST_RTSP_STS_SERVICE_UNAVAILABLE,
                             "No audio: the service has written no SDP line");
            reply(GST_RTSP_STS_OK);
            std::string base = uri;
            if (!base.ends_with('/')) base += '/';
            gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_CONTENT_BASE, base.c_str());
            gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_CONTENT_TYPE, "application/sdp");
            const std::string body = sdp_text(rtpmap);
            gst_rtsp_message_set_body(&resp, reinterpret_cast<const guint8*>(body.data()),
                                      static_cast<guint>(body.size()));
            return;
        }
        case GST_RTSP_SETUP:
            return setup(srv, conn, req, resp);
        case GST_RTSP_PLAY: {
            if (!session) return reply(GST_RTSP_STS_SESSION_NOT_FOUND);
            reply(GST_RTSP_STS_OK);
            // Sequence number and timestamp are the service's and flow since SETUP: only
            // the track's address is known here.
            std::string track = uri;
            if (!track.ends_with("/track0")) track += track.ends_with('/') ? "track0" : "/track0";
            gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_RTP_INFO, ("url=" + track).c_str());
            gst_rtsp_message_add_header(&resp, GST_RTSP_HDR_RANGE, "npt=now-");
            std::printf("%s: PLAY session %s\n", srv.name, session->id);
            return;
        }
        case GST_RTSP_TEARDOWN:
            if (!session) return reply(GST_RTSP_STS_SESSION_NOT_FOUND);
            drop(srv, *session, "TEARDOWN");
            return reply(GST_RTSP_STS_OK);
        default:  // GET_PARAMETER: a keep-alive
            return reply(GST_RTSP_STS_OK);
    }
}

int listen_on(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void close_connection(GstRTSPConnection*& conn) {
    gst_rtsp_connection_close(conn);
    gst_rtsp_connection_free(conn);
    conn = nullptr;
}

// Reads one request and answers it; false when the connection is to be closed.
bool serve_request(Server& srv, GstRTSPConnection* conn) {
    GstRTSPMessage req = {}, resp = {};
    gst_rtsp_message_init(&req);
    const GstRTSPResult got = gst_rtsp_connection_receive_usec(conn, &req, kIoTimeoutUsec);
    bool keep = true;
    if (got == GST_RTSP_EPARSE) {  // the stream cannot be trusted any more: answer and close
        gst_rtsp_message_init_response(&resp, GST_RTSP_STS_BAD_REQUEST, nullptr, nullptr);
        keep = false;
    } else if (got != GST_RTSP_OK) {
        gst_rtsp_message_unset(&req);
        return false;
    } else if (req.type != GST_RTSP_MESSAGE_REQUEST) {
        gst_rtsp_message_unset(&req);
        return true;  // a response or data from a player: nothing to answer
    } else {
        handle(srv, conn, req, resp);
    }
    if (gst_rtsp_connection_send_usec(conn, &resp, kIoTimeoutUsec) != GST_RTSP_OK) keep = false;
    std::fflush(stdout);
    gst_rtsp_message_unset(&resp);
    gst_rtsp_message_unset(&req);
    return keep;
}

}  // namespace

void remove_earlier_receivers(const char* name) {
    mgmt::Command cmd;
    cmd.code = 3;
    cmd.timeout_ms = kCommandTimeoutMs;
    const std::string error = post(cmd);
    if (error.empty())
        std::printf("%s: receivers of an earlier run removed (command 3)\n", name);
    else
        std::printf("%s: command 3 not served: %s\n", name, error.c_str());
    std::fflush(stdout);
}

int serve(const Options& options) {
    static Server srv;  // sessions and connections: too big for a comfortable stack frame
    srv.name = options.name;
    const int listen_fd = listen_on(options.port);
    if (listen_fd < 0) {
        std::printf("%s: cannot listen on TCP port %d: %s\n", srv.name, options.port,
                    std::strerror(errno));
        return 1;
    }
    GSocket* listener = g_socket_new_from_fd(listen_fd, nullptr);
    std::printf("%s: RTSP on port %d, stream /audio\n", srv.name, options.port);
    std::fflush(stdout);

    const long end = now_sec() + options.lifetime_sec;
    for (long now = now_sec(); now < end; now = now_sec()) {
        pollfd fds[kMaxConnections + 1] = {};
        fds[0] = {listen_fd, POLLIN, 0};
        for (int i = 0; i < kMaxConnections; ++i) {
            GstRTSPConnection* conn = srv.connections[i];
            fds[i + 1] = {conn ? g_socket_get_fd(gst_rtsp_connection_get_read_socket(conn)) : -1,
                          POLLIN, 0};
        }
        if (poll(fds, kMaxConnections + 1, 1000) > 0) {
            for (int i = 0; i < kMaxConnections; ++i)
                if (fds[i + 1].revents && !serve_request(srv, srv.connections[i]))
                    close_connection(srv.connections[i]);
            if (fds[0].revents & POLLIN) {
                GstRTSPConnection* conn = nullptr;
                if (gst_rtsp_connection_accept(listener, &conn, nullptr) == GST_RTSP_OK) {
                    GstRTSPConnection** slot = srv.connections;
                    while (slot < srv.connections + kMaxConnections && *slot) ++slot;
                    if (slot < srv.connections + kMaxConnections)
                        *slot = conn;
                    else
                        close_connection(conn);  // a full house: the player tries again
                }
            }
        }
        // RFC 2326 12.37: a session without a request for its time-out is gone.
        for (Session& s : srv.sessions)
            if (s.used && now_sec() - s.last_request > kSessionTimeoutSec)
                drop(srv, s, "time-out of");
    }
    for (Session& s : srv.sessions)
        if (s.used) drop(srv, s, "end of");
    for (GstRTSPConnection*& conn : srv.connections)
        if (conn) close_connection(conn);
    g_object_unref(listener);
    return 0;
}

}  // namespace rtsp_signalling
