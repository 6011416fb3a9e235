import shutil
from appliance import *

GROUP, LAN = '239.7.7.7', '10.77.0'
MISSING = 'under the emulator' if EMU else ', '.join(f'no {t} (scripts/setup.sh)' for t in ('ffmpeg', 'ip')
                                                     if not shutil.which(t))


def udp(ns=None):  # the UDP counters of a network namespace (this one by default), by name
    text = run(['ip', 'netns', 'exec', ns, 'cat', '/proc/net/snmp'])[1] if ns else read('/proc/net/snmp')
    head, values = [line.split() for line in text.splitlines() if line.startswith('Udp:')]
    return dict(zip(head[1:], map(int, values[1:])))


@unittest.skipIf(MISSING, f'host builds with ffmpeg and ip only: {MISSING}')
class Multicast(Scene):
    def test_three_players_on_a_lan_decode_one_stream_sent_once(self):
        """A bridge and three player namespaces: each decodes the group bit-exact and gets every datagram sent once."""
        lan = ['mount -n -t tmpfs run /run', 'ip link add br0 type bridge', f'ip addr add {LAN}.1/24 dev br0',
               'ip link set br0 up']  # a private /run: the namespaces' names stay in this sandbox
        for n in (1, 2, 3):
            lan += [f'ip netns add rx{n}', f'ip link add v{n} type veth peer name e0 netns rx{n}',
                    f'ip link set v{n} master br0 up', f'ip -n rx{n} addr add {LAN}.1{n}/24 dev e0',
                    f'ip -n rx{n} link set e0 up']
        for cmd in lan:
            self.assertEqual(run(cmd.split()), (0, ''), cmd)
        players = [self.start(['ip', 'netns', 'exec', f'rx{n}', 'ffmpeg', '-nostdin', '-v', 'error', '-i',
                               f'udp://{GROUP}:1234?localaddr={LAN}.1{n}&timeout=5000000', '-map', '0:a', '-f',
                               's16be', f'/tmp/rx{n}.raw']) for n in (1, 2, 3)]
        for n in (1, 2, 3):  # each player has joined the group before the first datagram
            self.assertTrue(until(lambda: GROUP in run(['ip', '-n', f'rx{n}', 'maddr', 'show', 'dev', 'e0'])[1]), n)
        before, t0 = udp()['OutDatagrams'], time.monotonic()
        Path('/tmp/noise.raw').write_bytes(os.urandom(96000 * 2 * 4))
        self.block('audio_output_mode=2', f'ts_dest_ip={GROUP}', f'local_ip={LAN}.1', 'multicast_ttl=1')
        svc = self.service()
        self.assertTrue(svc.expect(r'\[Audio\] .* => ADC-I2S 1 48000 Hz'), svc.text())
        self.capture('--raw', '/tmp/noise.raw', '--size', 1920, '--record', SENT)
        svc.stop()
        sent = udp()['OutDatagrams'] - before - 400  # less the 400 feed datagrams on loopback
        got = lambda: [udp(f'rx{n}')['InDatagrams'] for n in (1, 2, 3)]
        self.assertTrue(until(lambda: got() == [sent] * 3, 10), (got(), sent))
        # one stream: 7 + 5 packets per block, PAT/PMT and PCR at most every 500 and 100 ms
        self.assertTrue(800 <= sent <= 800 + 12 * (time.monotonic() - t0) + 2, sent)
        pcm = read(SENT, True)
        for n, p in enumerate(players, 1):
            self.assertEqual(p.end(), 0, p.text())  # 5 s after the last datagram
            out = read(f'/tmp/rx{n}.raw', True)
            at = pcm.find(out[:1920])
            self.assertTrue(len(out) >= len(pcm) // 2 and at >= 0 and out == pcm[at:at + len(out)], (n, len(out), at))
