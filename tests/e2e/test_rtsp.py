import shutil, socket, subprocess
from appliance import *

URL, QUIET = 'rtsp://127.0.0.1:8554/audio', ['-nostdin', '-hide_banner', '-loglevel', 'error', '-y']
TOOLS = ('ffmpeg', 'gst-launch-1.0')


def request(method, path, *headers):
    return f'{method} rtsp://127.0.0.1:8554{path} RTSP/1.0\r\n' + ''.join(f'{h}\r\n' for h in headers) + '\r\n'


def ask(text):  # the answer to one raw request, on a connection of its own
    with socket.create_connection(('127.0.0.1', 8554), timeout=20) as s:
        s.sendall(text.encode())
        return s.recv(65536).decode()


def status(text): return int(ask(text).split()[1])


class Rtsp(Scene):
    def setUp(self):
        if EMU or not all(map(shutil.which, TOOLS)) or 'RTSP/1.0' not in subprocess.run(
                sim('rtspServer') + ['--help'], capture_output=True, text=True).stdout:
            self.skipTest(f'needs a host build with GStreamer RTSP and {TOOLS} (scripts/setup.sh)')
        super().setUp()

    def server(self):  # once it listens
        srv = self.start(sim('rtspServer') + ['--lifetime', 300], name='rtspServer')
        self.assertTrue(srv.expect('RTSP on port 8554'), srv.text())
        return srv

    def test_ffmpeg_receives_l16_and_pcmu_bit_exact(self):
        """ffmpeg over RTSP (UDP): L16 stereo 48 kHz and PCMU mono 8 kHz come back as sent."""
        for fields, rtpmap, raw, layout in (((), 'L16/48000/2', 's16be', 'le16'),
                                            (('audio_codec=3', 'audio_rate_mode=2', 'audio_channel_mode=2'),
                                             'PCMU/8000/1', 'mulaw', 'ulaw')):
            rate, channels = map(int, rtpmap.split('/')[1:])
            svc, srv = self.start_rtp(*fields, rtpmap=rtpmap), self.server()
            ff = self.start(['ffmpeg', *QUIET, '-rtsp_transport', 'udp', '-i', URL, '-t', 2, '-f', 's16le', '/tmp/got.raw'])
            self.assertTrue(srv.expect('PLAY session'), srv.text() + ff.text())
            self.capture('--layout', layout, '--rate', rate, '--channels', channels, '--size', rate // 50 * channels,
                         '--tone', 700, '--duration', 3, '--record', SENT)
            self.assertEqual((ff.end(60), bool(srv.expect('TEARDOWN session'))), (0, True), ff.text())
            self.assertEqual(run(['ffmpeg', *QUIET, '-f', raw, '-ar', rate, '-ac', channels, '-i', SENT,
                                  '-f', 's16le', '/tmp/want.raw'])[0], 0)
            got = read('/tmp/got.raw', True)
            self.assertTrue(len(got) > 3.9 * rate * channels and got == read('/tmp/want.raw', True)[:len(got)],
                            (rtpmap, len(got)))
            svc.stop(), srv.stop()

    def test_rtspsrc_plays_and_its_teardown_removes_the_receiver(self):
        """GStreamer's rtspsrc negotiates, gets 100 buffers, tears down: the service's table is empty again."""
        svc, srv = self.start_rtp(), self.server()
        self.start(sim('sim_capture') + ['--duration', 300, '--quiet'])
        st, out = run(['gst-launch-1.0', '-q', 'rtspsrc', f'location={URL}', 'protocols=udp', '!',
                       'identity', 'eos-after=100', '!', 'fakesink'])
        self.assertEqual(st, 0, out)
        self.assertTrue(srv.expect(r'TEARDOWN session \w+: 127.0.0.1:\d+ removed'), srv.text())
        port = re.search(r'SETUP session \w+: 127.0.0.1:(\d+)-', srv.text())[1]
        self.assertTrue(svc.expect(rf'\[CMD\] code 2\n\[Audio RTSP\] del_decoder\(n-0\) 127.0.0.1:{port}\n'
                                   r'\[Audio RTSP\] Start\n\[Audio RTSP\] End\n'), svc.text())

    def test_refusals_and_a_restart_after_a_format_change(self):
        """Refused requests change nothing; a new format ends the server, the supervisor brings it back."""
        self.block()
        svc = self.service()
        sup = self.start(sim('sim_supervise') + sim('rtspServer') + ['--lifetime', 300])
        self.assertTrue(sup.expect('RTSP on port 8554'), sup.text())
        self.assertIn('503 No audio', ask(request('DESCRIBE', '/audio', 'CSeq: 1')))
        self.detect()
        self.assertTrue(sup.expect(r'start 2\)\n(.*\n)*.*SDP line: a=rtpmap:98 L16/48000/2\n.*RTSP on port'), sup.text())
        setup = lambda port, kind='RTP/AVP;unicast': request('SETUP', '/audio/track0', 'CSeq: 2',
                                                             f'Transport: {kind};client_port={port}-{port + 1}')
        self.assertEqual([status(setup(6000 + 2 * i)) for i in range(32)], [200] * 32)
        for text, want in ((request('FOO', '/audio', 'CSeq: 1'), 501), (request('OPTIONS', '/audio'), 400),
                           ('garbage\r\n\r\n', 400), (request('DESCRIBE', '/video', 'CSeq: 1'), 404),
                           (setup(7000, 'RTP/AVP/TCP;unicast;interleaved=0-1'), 461),
                           (setup(7000, 'RTP/AVP;multicast'), 461), (setup(6000), 461),
                           (request('PLAY', '/audio', 'CSeq: 3', 'Session: 1234'), 454), (setup(7000), 453)):
            self.assertEqual(status(text), want, text)
        self.assertEqual(re.findall(r'\[CMD\] code [12]', svc.text()), ['[CMD] code 1'] * 32)
        self.mgmt('set', 'audio_rate_mode=2')
        self.detect()
        self.assertTrue(sup.expect(r'start 3\)\n(.*\n)*.*RTSP on port'), sup.text())
        self.assertIn('\r\n\r\nv=0\r\n', answer := ask(request('DESCRIBE', '/audio', 'CSeq: 4')))
        self.assertIn('m=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/2\r\na=control:track0\r\n', answer)
        self.assertIn('[CMD] code 3\n[Audio RTSP] Start\n[Audio RTSP] End\n', svc.text().split('rtspServer task')[-1])
