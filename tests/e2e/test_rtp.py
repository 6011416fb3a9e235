import os, re, time
from appliance import *

CUR = ('cur_audio_source', 'cur_audio_bits', 'cur_audio_codec', 'cur_audio_channels', 'cur_audio_rate')


class Rtp(Scene):
    def test_detection_applies_the_format(self):
        """No input, no RTP; ADC seen 3 times: SDP line, RTSP servers killed, format, RTP; off: no line."""
        self.block(fpga=None)
        rtp, rtcp = Rx(), Rx()
        svc = self.service()
        self.add(rtp.port, rtcp.port, 'RTSP')
        self.start(sim('sim_capture') + ['--duration', 300, '--quiet'])
        self.detect()
        self.assertEqual((rtp.take(1.5), self.show(*CUR)[2::2]), ([], (8, 0)))  # no audio coding, no rate
        servers = [self.start(sim(n) + ['--lifetime', 300], name=n) for n in ('rtspServer', 'rtspServerM')]
        self.assertTrue(all(s.expect('no SDP line') for s in servers), servers[0].text())
        self.add(rtp.port, rtcp.port, 'RTSP')  # again: RTSP servers remove the RTSP receivers as they start
        self.mgmt('fpga', 'adc')
        self.detect()
        self.assertTrue(until(lambda: read(SDP) == 'a=rtpmap:98 L16/48000/2\n'), read(SDP))
        self.assertEqual([s.end() for s in servers], [-9, -9])
        killed = rf'rtspServer task \[{servers[0].pid}\] killed\nrtspServerM task \[{servers[1].pid}\] killed\n'
        self.assertTrue(svc.expect(killed), svc.text())
        self.assertEqual(self.show(*CUR), (3, 16, 1, 2, 48000))
        self.assertEqual([rtp_header(d)[0][:2] for d in rtp.take(20, most=1)], [(0x80, 98)])
        self.mgmt('set', 'audio_channel_mode=3')
        self.detect()
        self.assertTrue(until(lambda: not os.path.exists(SDP)), read(SDP))
        self.assertEqual(self.show(*CUR), (3, 16, 1, 0, 48000))
        rtcp.take(0)
        self.assertEqual(rtcp.take(4.5), [])  # no sender report either while audio is off

    def test_receivers_get_every_packet_and_reports_until_removed(self):
        """RTSP, TS, other kinds: every packet, own sequence and SSRC, reports; atrx: none; removals."""
        svc = self.start_rtp('use_alt_settings=1', 'alt_audio_source=1')  # the alternate set's HDMI-SPDIF input
        rx = [(Rx(), Rx()) for _ in range(5)]
        for (rtp, rtcp), tag in zip(rx, ('RTSP', 'atrx', 'TS', 'decoder', 'RTSPx')):
            self.add(rtp.port, rtcp.port, tag)
        self.capture('--tone', 1000, '--layout', 'spdif', '--size', 3080, '--duration', 7, '--record', SENT)
        sent = read(SENT, True)
        n = 3 * len(sent) // 3080
        got = [[rtp_header(d) for d in rtp.take(20, most=n, idle=2)] for rtp, _ in rx]
        for k in (0, 2, 3, 4):
            self.assertEqual([(h[:3], h[4], len(p)) for h, p in got[k]],
                             [((0x80, 98, s), 0x12345680 | k, 160 if s % 3 == 2 else 1460) for s in range(n)])
            self.assertEqual(b''.join(p for _, p in got[k]), sent)
            self.assertEqual([h[3] for h, _ in got[k]], [h[3] for h, _ in got[0]])
        self.assertEqual((got[1], rx[1][1].take(0)), ([], []))

        reports = [sender_report(d) for d in rx[0][1].take(1)]
        self.assertEqual({f for f, _ in reports}, {(0x80, 200, 6, 0x81, 202, 5, True, 1, 10, b'vemu_audio', bytes(4))})
        sr = [r for _, r in reports]  # SSRC, NTP seconds, RTP time, packets, octets; idle ones may lead
        self.assertEqual([r[:1] + r[2:] for r in sr if r[3] == 0][-2:], [(0x12345680, got[0][0][0][3], 0, 0)] * 2)
        during = [(a, b) for a, b in zip(sr, sr[1:]) if 0 < b[3] < n]  # about 3 and 6 s into the 7 s
        self.assertGreaterEqual(len(during), 2)
        for (_, t0, *_), (ssrc, t, ts, k, octets) in during:  # each rides on packet k
            self.assertEqual((ssrc, ts, octets), (0x12345680, got[0][k][0][3], sum(len(p) for _, p in got[0][:k])))
            self.assertTrue(1.9 < t - t0 < 3.9, t - t0)

        # Command 2 removes the one named, 3 every RTSP one; an mtu under 44 is logged till a usable one.
        del_3 = ('command', 2, '--ip', '127.0.0.1', '--rtp-port', rx[3][0].port)
        for step, order, want in ((del_3, (0, 2, 3, 4), '++-+'), (('command', 3), (2, 0, 4), '+--'),
                                  (('set', 'mtu=43'), (2,), '-'), (('set', 'mtu=44'), (2,), '+'),
                                  (('set', 'mtu=40'), (2,), '-')):
            self.mgmt(*step)
            for rtp, _ in rx:
                rtp.take(0)
            for _ in range(2):
                send(18005, bytes(64))  # the smallest block taken: one packet at mtu 1500, 16 at mtu 44
            who = ''.join('+-'[not rx[i][0].take(10 if w == '+' else 0.5, most=1)] for i, w in zip(order, want))
            self.assertEqual(who, want, step)
        no_room = lambda: re.findall(r'\[Audio RTP\] mtu (\d+) leaves no room for audio: nothing is sent\n',
                                     svc.text())
        until(lambda: len(no_room()) >= 2, 10)
        self.assertEqual((no_room(), svc.text().count('[Audio RTSP] End\n')), (['43', '40'], 7))  # a table per command
        (p1, c1), (p2, c2) = [(rtp.port, rtcp.port) for rtp, rtcp in rx[1:3]]
        table = f'1 : 127.0.0.1:{p1}-{c1} 12345681 RX\n[Audio RTSP] 2 : 127.0.0.1:{p2}-{c2} RTSP sock: 12345682\n'
        self.assertIn(f'[CMD] code 3\n[Audio RTSP] Start\n[Audio RTSP] {table}[Audio RTSP] End\n',
                      re.sub(r'sock:\S+', 'sock:', svc.text()))

    def test_a_flood_of_empty_datagrams_starves_no_job(self):
        """Empty feed datagrams every millisecond for 10 s: sender reports go on, the log stays quiet."""
        svc, rtp, rtcp = self.start_rtp(), Rx(), Rx()
        self.add(rtp.port, rtcp.port, 'RTSP')
        logged, end = svc.text(), time.monotonic() + 10
        while time.monotonic() < end:
            send(18005, b'')
            time.sleep(0.001)
        self.assertGreaterEqual(len(rtcp.take(0)), 2)  # an idle receiver's report every 4 s
        self.assertEqual(svc.text(), logged)
