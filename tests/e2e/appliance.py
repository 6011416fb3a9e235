"""Scene driver: one build's service and stand-ins inside the current appliance-sandbox, and readers
of what they send, from the byte positions of RFC 3550 and ISO/IEC 13818-1. Waits are bounded."""
import contextlib, ctypes, os, re, select, socket, struct, subprocess, sys, time, unittest
from pathlib import Path

BUILD = os.path.abspath(os.environ.get('AUDIO_BUILD', 'build/dev'))
EMU = os.environ.get('AUDIO_EMULATOR', '').split()  # every program of the build runs through it
BE = '>' if EMU or sys.byteorder == 'big' else '<'  # the appliance's byte order
SDP, LOG, SENT = '/tmp/audio_auxSDPLine', '/tmp/.print_audio_rtsp', '/tmp/sent.raw'
PAT, PMT, PCR, AUDIO = 0, 0x42, 0x22, 0x164
TX = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
libc = ctypes.CDLL(None)
libc.shmat.restype, libc.shmat.argtypes = ctypes.c_void_p, (ctypes.c_int, ctypes.c_void_p, ctypes.c_int)


def sim(name): return EMU + [f'{BUILD}/sim/{name}']


def read(path, binary=False):  # None when there is no such file
    with contextlib.suppress(OSError):
        return Path(path).read_bytes() if binary else Path(path).read_text(errors='replace')


def until(cond, secs=20.0):  # cond()'s first true value, or its last one once secs have passed
    end = time.monotonic() + secs
    while not (v := cond()) and time.monotonic() < end:
        time.sleep(0.02)
    return v


def first_difference(a, b):  # (index, one, other) or the lengths: no slow diff of long lists
    return next(((i, x, y) for i, (x, y) in enumerate(zip(a, b)) if x != y), (len(a), len(b)))


def raw_block():  # the block's bytes, read-write: the service changes them at any moment
    return (ctypes.c_char * 16384).from_address(libc.shmat(libc.shmget(1005, 0, 0), None, 0))


class Proc(subprocess.Popen):
    """A program in the background, output to a file; argv[0] may be a name for pidof."""

    def __init__(self, argv, name=None):
        argv, self.out = list(map(str, argv)), f'/tmp/proc{time.monotonic_ns()}.out'
        with open(self.out, 'wb') as f:
            super().__init__([name or argv[0]] + argv[1:], executable=argv[0], stdin=subprocess.DEVNULL,
                             stdout=f, stderr=subprocess.STDOUT)

    def text(self): return read(self.out)
    def expect(self, regex, secs=20.0): return until(lambda: re.search(regex, self.text()), secs)
    def end(self, secs=30.0): return self.returncode if until(lambda: self.poll() is not None, secs) else None

    def stop(self, sig=9): return self.send_signal(sig) or self.end()  # no signal once it has ended


def run(argv, secs=60):  # (exit status, output) of a program run to its end; None when killed at secs
    status = (p := Proc(argv)).end(secs)
    p.stop()
    return status, p.text()


class Dgram(bytes): """A received datagram; .t: when the kernel queued it, on the wall clock."""


class Rx:
    """A UDP receiver on ip:port (0: a free port) with room for seconds of traffic."""

    def __init__(self, port=0, ip='127.0.0.1'):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        with contextlib.suppress(OSError):  # SO_RCVBUFFORCE: past rmem_max where allowed
            self.s.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)
        self.s.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS: arrival times unaffected by our delays
        self.s.bind((ip, port))
        self.port = self.s.getsockname()[1]

    def take(self, secs=1.0, stop=None, most=100000, idle=None):  # within secs; until stop(got) or idle s quiet
        got, end = [], time.monotonic() + secs
        while len(got) < most and not (stop and stop(got)) and \
                select.select([self.s], [], [], max(0.0, min(end - time.monotonic(), idle or secs)))[0]:
            data, anc, _, _ = self.s.recvmsg(65536, 64)
            sec, ns = struct.unpack('ll', anc[0][2])
            got.append(Dgram(data))
            got[-1].t = sec + ns / 1e9
        return got


def send(port, data): TX.sendto(data, ('127.0.0.1', port))


def rtp_header(d): return struct.unpack('>BBHII', d[:12]), d[12:]  # b0, M/PT, seq, time, SSRC


def sender_report(d):  # report (RC 0) and one CNAME: fixed fields; SSRC, NTP s, RTP time, packets, octets
    f = struct.unpack('>BBH6IBBHIBB10s4s', d)
    return f[:3] + f[9:12] + (f[12] == f[3],) + f[13:], (f[3], f[4] + f[5] / 2**32, *f[6:9])


def pid(p): return (p[1] & 0x1F) << 8 | p[2]


def pids(d):  # None unless the datagram is whole packets with sync bytes
    ok = d and len(d) % 188 == 0 and all(d[i] == 0x47 for i in range(0, len(d), 188))
    return [pid(d[i:]) for i in range(0, len(d), 188)] if ok else None


def packets(ds): return [d[i:i + 188] for d in ds if pids(d) for i in range(0, len(d), 188)]
def is_psi(d): return pids(d) == [PAT, PMT]
def is_pcr(d): return pids(d) == [PCR]
def has_audio(ds): return any(AUDIO in (pids(d) or ()) for d in ds)
def ticks(a, b): return (a - b + 2**31) % 2**32 - 2**31  # a - b on the 32-bit 90 kHz clock


def pcr(p):  # the PCR base, when the adaptation field carries one
    if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
        return p[6] << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7


def cc_gap(ds):  # '' when on every PID each payload packet's continuity counter follows the last
    last, bad = {}, [n for n, d in enumerate(ds) if not pids(d)]
    for n, p in enumerate(p for p in packets(ds) if p[3] & 0x10):
        if pid(p) in last and p[3] & 15 != (last[pid(p)] + 1) & 15:
            return f'packet {n} on PID {pid(p):#x}: counter {p[3] & 15} after {last[pid(p)]}'
        last[pid(p)] = p[3] & 15
    return f'datagrams {bad} are not whole packets' if bad else ''


def audio_pes(ds):  # the audio PES: dict(data, seq: its private data, pts, before/after: PCRs around)
    out, last = [], None
    for p in packets(ds):
        if (base := pcr(p)) is not None:
            last = base
            for e in out:
                e.setdefault('after', base)
        if pid(p) != AUDIO:
            continue
        payload, f = p[5 + p[4] if p[3] & 0x20 else 4:], p[5] if p[3] & 0x20 and p[4] else 0
        if p[1] & 0x40:  # private data after PCR, OPCR and splice countdown; PTS in the PES header
            at, t = 6 + 6 * bool(f & 0x10) + 6 * bool(f & 8) + bool(f & 4), payload[9:14]
            seq = int.from_bytes(p[at + 1:at + 5], 'big') if f & 2 and p[at] == 4 else None
            out.append(dict(data=b'', seq=seq, before=last,
                            pts=(t[0] >> 1 & 7) << 30 | t[1] << 22 | t[2] >> 1 << 15 | t[3] << 7 | t[4] >> 1))
        if out:
            out[-1]['data'] += payload
    return out


def lpcm_samples(d): return d[9 + d[8] + 4:6 + (d[4] << 8 | d[5])]  # after the PES and LPCM headers


class Scene(unittest.TestCase):
    """A scene on a fresh appliance; what it starts is killed at its end."""

    def setUp(self):
        self.assertFalse(os.path.exists('/tmp/scene') or libc.shmget(1005, 0, 0) != -1, 'not fresh')
        Path('/tmp/scene').write_text(self.id())
        self.addTypeEqualityFunc(list, lambda a, b, msg=None: self.assertTrue(a == b, msg or first_difference(a, b)))

    def start(self, argv, name=None):
        self.addCleanup((p := Proc(argv, name)).stop)
        return p

    def service(self, name='audio_rtsp_to_screen'): return self.start(EMU + [f'{BUILD}/{name}'])

    def mgmt(self, *args, status=0):  # commands wait long for the service: it may run under qemu on a busy host
        st, out = run(sim('sim_mgmt') + list(args) + (['--timeout-ms', 30000] if args[0] == 'command' else []))
        self.assertEqual(st, status, f'sim_mgmt {args}: {out}')
        return out

    def block(self, *fields, fpga='adc'):
        self.mgmt('create', *fields)
        if fpga: self.mgmt('fpga', fpga)

    def show(self, *fields): return tuple(int(v) for v in re.findall(r'=(\d+)', self.mgmt('show', *fields)))
    def command(self, code, *args): self.mgmt('command', code, *args)

    def add(self, rtp, rtcp, tag):
        self.command(1, '--ip', '127.0.0.1', '--rtp-port', rtp, '--rtcp-port', rtcp, '--tag', tag)

    def detect(self, times=3):
        for _ in range(times): self.command(4)

    def capture(self, *args):
        st, out = run(sim('sim_capture') + ['--quiet', *args], 120)
        self.assertEqual(st, 0, out)

    def start_rtp(self, *fields, rtpmap='L16/48000/2'):  # once two polls applied the format
        self.block(*fields)
        svc = self.service()
        self.detect(2)
        self.assertTrue(until(lambda: read(SDP) == f'a=rtpmap:98 {rtpmap}\n'), svc.text())
        return svc

    def record_ts(self, channels, secs, *fields):  # what 127.0.0.1:1234 gets while fed secs of noise; SENT
        Path('/tmp/noise.raw').write_bytes(os.urandom(96000 * channels * secs))
        rx = Rx(1234)
        self.block('audio_output_mode=2', *fields)
        svc = self.service()
        self.assertTrue(svc.expect(r'\[Audio\] .* => ADC-I2S 1 48000 Hz'), svc.text())
        cap = self.start(sim('sim_capture') + ['--raw', '/tmp/noise.raw', '--channels', channels,
                                               '--size', 1920, '--record', SENT, '--quiet'])
        ds = rx.take(secs + 60, stop=lambda _: cap.poll() is not None)
        self.assertEqual(cap.end(), 0, cap.text())
        ds += rx.take(0.5)
        svc.stop()
        return ds


if __name__ == '__main__':  # --list DIR: the ids of the scenes in DIR, for CTest
    def ids(s): return [i for t in s for i in ids(t)] if isinstance(s, unittest.TestSuite) else [s.id()]
    print('\n'.join(ids(unittest.defaultTestLoader.discover(sys.argv[2]))))
