import re, shutil, signal, time, unittest
from appliance import *

QUIET = ['-nostdin', '-hide_banner', '-loglevel', 'error', '-y']


def bound(port):  # a UDP socket of this network namespace is bound to the port
    return re.search(rf'^\s*\d+: [0-9A-F]{{8}}:{port:04X} ', read('/proc/net/udp'), re.M)


def needs(*tools): return unittest.skipUnless(all(map(shutil.which, tools)), f'needs {tools} (scripts/setup.sh)')


class Interop(Scene):
    def tool(self, *argv):  # its output lines
        st, out = run(argv, 120)
        self.assertEqual(st, 0, out)
        return [line for line in out.splitlines() if not line.startswith('Running as')]

    @needs('ffmpeg')
    def test_ffmpeg_decodes_l16_and_g711_bit_exact(self):
        """L16 stereo and mono at 48 kHz, PCMA and PCMU at 8 kHz: ffmpeg decodes what was sent."""
        for fields, rtpmap, raw, capture in (
                ((), 'L16/48000/2', 's16be', ()), (('audio_channel_mode=2',), 'L16/48000/1', 's16be', ()),
                (('audio_codec=2', 'audio_rate_mode=2'), 'PCMA/8000/2', 'alaw', ('--layout', 'alaw')),
                (('audio_codec=3', 'audio_rate_mode=2', 'audio_channel_mode=2'), 'PCMU/8000/1', 'mulaw',
                 ('--layout', 'ulaw'))):
            rate, channels = rtpmap.split('/')[1:]
            svc = self.start_rtp(*fields, rtpmap=rtpmap)
            Path('/tmp/a.sdp').write_text('v=0\no=- 0 0 IN IP4 127.0.0.1\ns=audio\nc=IN IP4 127.0.0.1\n'
                                          f't=0 0\nm=audio 5004 RTP/AVP 98\na=rtpmap:98 {rtpmap}\n')
            # It ends once no packet has come for 5 s, which also bounds its wait for the first.
            ff = self.start(['ffmpeg', *QUIET, '-protocol_whitelist', 'file,udp,rtp', '-listen_timeout', 5,
                             '-i', '/tmp/a.sdp', '-f', 's16le', '-c:a', 'pcm_s16le', '/tmp/got.raw'])
            self.assertTrue(until(lambda: bound(5004)), ff.text())
            self.add(5004, 5005, 'RTSP')
            self.capture(*capture, '--rate', rate, '--channels', channels, '--size', int(rate) // 50 * int(channels),
                         '--tone', 700, '--duration', 2, '--record', SENT)
            self.command(2, '--ip', '127.0.0.1', '--rtp-port', 5004)  # its reports stop too
            self.assertEqual(ff.end(60), 0, ff.text())
            self.tool('ffmpeg', *QUIET, '-f', raw, '-ar', rate, '-ac', channels, '-i', SENT,
                      '-f', 's16le', '-c:a', 'pcm_s16le', '/tmp/want.raw')
            got = read('/tmp/got.raw', True)
            self.assertTrue(len(got) >= 32000 and got == read('/tmp/want.raw', True), (rtpmap, len(got)))
            svc.stop()

    @needs('gst-launch-1.0')
    def test_gstreamer_depays_l8_bit_exact(self):
        """8-bit linear (the alternate set's fixed format only): rtpL8depay gives back the bytes sent."""
        self.start_rtp('use_alt_settings=1', 'alt_audio_source=3', 'alt_audio_bits=8', rtpmap='L8/48000/2')
        caps = 'application/x-rtp,media=audio,clock-rate=48000,encoding-name=L8,channels=2,payload=98'
        gst = self.start(['gst-launch-1.0', '-e', '-q', 'udpsrc', 'port=5004', f'caps={caps}', '!',
                          'rtpL8depay', '!', 'filesink', 'location=/tmp/l8.raw'])
        self.assertTrue(until(lambda: bound(5004)), gst.text())
        self.add(5004, (rtcp := Rx()).port, 'RTSP')
        self.capture('--tone', 500, '--layout', 'u8', '--size', 960, '--duration', 2, '--record', SENT)
        time.sleep(1)
        gst.stop(signal.SIGINT)
        self.assertEqual((len(read(SENT, True)), read('/tmp/l8.raw', True) == read(SENT, True)), (2 * 48000 * 2, True))

    @needs('tshark')
    def test_tshark_reads_rtp_and_the_sender_reports(self):
        """No malformed RTP or RTCP for tshark; it reads the sender reports and the CNAME."""
        self.start_rtp()
        rtp, rtcp = Rx(), Rx()
        ts = self.start(['tshark', '-i', 'lo', '-f', 'udp and not port 18005', '-l', '-P', '-w', '/tmp/a.pcapng'])
        # "Capturing on" comes before its capture child listens: wait until it shows a probe.
        self.assertTrue(until(lambda: send(9, b'capture-probe') or ts.expect('Len=13', 0.2), 60), ts.text())
        self.add(rtp.port, rtcp.port, 'RTSP')
        self.capture('--tone', 1000, '--size', 3080, '--duration', 4)
        time.sleep(0.5)
        ts.stop(signal.SIGINT)
        pcap = ['tshark', '-r', '/tmp/a.pcapng', '-d', f'udp.port=={rtp.port},rtp', '-d',
                f'udp.port=={rtcp.port},rtcp', '-T', 'fields', '-Y']
        self.assertEqual(self.tool(*pcap, '_ws.malformed || _ws.expert.severity >= "error"', '-e', 'frame.number'), [])
        self.assertGreaterEqual(len(self.tool(*pcap, 'rtp.p_type == 98', '-e', 'rtp.seq')), 600)
        sr = self.tool(*pcap, 'rtcp.pt == 200', '-e', 'rtcp.senderssrc', '-e', 'rtcp.sender.packetcount',
                       '-e', 'rtcp.sender.octetcount', '-e', 'rtcp.length', '-e', 'rtcp.sdes.text')
        self.assertEqual(sr[:2], ['0x12345680\t0\t0\t6,5\tvemu_audio'] * 2)  # lengths: report, then SDES
        self.assertRegex(sr[-1], r'\A0x12345680\t[1-9]\d*\t[1-9]\d*\t6,5\tvemu_audio\Z')  # on a packet

    @needs('ffmpeg', 'ffprobe', 'tshark')
    def test_transport_stream(self):
        """ffprobe: pcm_bluray 48 kHz s16, stereo or mono; both bit-exact; tshark: CRCs good, no loss."""
        for channels in (2, 1):
            Path('/tmp/a.ts').write_bytes(b''.join(self.record_ts(channels, 4, f'audio_channel_mode={3 - channels}')))
            out = self.tool('ffprobe', '-v', 'error', '-select_streams', 'a', '-show_entries',
                            'stream=codec_name,sample_rate,channels,sample_fmt', '-of', 'default=nw=1', '/tmp/a.ts')
            self.assertEqual(out[:4], ['codec_name=pcm_bluray', 'sample_fmt=s16', 'sample_rate=48000',
                                       f'channels={channels}'])
            if channels == 2:  # blocks that came in a burst have close PTS values, which ffmpeg may note
                out = self.tool('ffmpeg', *QUIET, '-i', '/tmp/a.ts', '-map', '0:a', '-f', 's16be', '/tmp/out.raw')
                self.assertFalse(re.search('rror|Invalid data', '\n'.join(out)), out)
                samples = read('/tmp/out.raw', True)
            else:  # ffmpeg wants mono words padded to pairs: its stream copy less each 4-byte LPCM header
                self.tool('ffmpeg', *QUIET, '-i', '/tmp/a.ts', '-map', '0:a', '-c:a', 'copy', '-f', 'data',
                          '/tmp/a.lpcm')
                lpcm, samples, at = read('/tmp/a.lpcm', True), b'', 0
                while at + 4 <= len(lpcm):  # byte count, then 0x11 0x40: mono, 48 kHz, 16 bits
                    n = lpcm[at] << 8 | lpcm[at + 1]
                    self.assertEqual(lpcm[at + 2:at + 4], b'\x11\x40', at)
                    samples, at = samples + lpcm[at + 4:at + 4 + n], at + 4 + n
                self.assertEqual(at, len(lpcm))
            self.assertTrue(len(samples) > 0 and samples == read(SENT, True), f'{channels} channels: not bit-exact')
            count = {f: sum(map(str.isdigit, self.tool('tshark', '-r', '/tmp/a.ts', '-o', 'mpeg_sect.verify_crc:TRUE',
                                                       '-Y', f, '-T', 'fields', '-e', 'frame.number')))
                     for f in ('mpeg_pat', 'mpeg_pmt', 'mpeg_sect.crc.status == 1', 'mpeg_sect.crc.status == 0',
                               'mp2t.cc.drop', '_ws.malformed', '_ws.expert')}
            self.assertTrue(count['mpeg_pat'] >= 6 and count['mpeg_pmt'] >= 6, count)
            self.assertEqual(list(count.values())[2:], [count['mpeg_pat'] + count['mpeg_pmt'], 0, 0, 0, 0], count)
