import time
from appliance import *


class Ts(Scene):
    def start_ts(self, *fields, tone=True):
        self.block('audio_output_mode=2', *fields)
        svc = self.service()
        if tone:
            self.start(sim('sim_capture') + ['--duration', 300, '--quiet'])
        return svc

    def test_each_block_becomes_one_pes_on_the_pcr_clock(self):
        """One PES per block in 7 + 5 packets, bit-exact, sequence +1, PTS between PCRs around it."""
        ds = self.record_ts(2, 3)
        sent, pes = read(SENT, True), audio_pes(ds)
        self.assertEqual((len(sent), len(pes), cc_gap(ds)), (300 * 1920, 300, ''))
        self.assertEqual([len(pids(d)) for d in ds if AUDIO in (pids(d) or ())], [7, 5] * 300)  # mtu 1500
        for k, e in enumerate(pes):
            self.assertEqual((len(e['data']), e['seq'] - pes[0]['seq'], lpcm_samples(e['data'])),
                             (1956, k, sent[1920 * k:1920 * k + 1920]), k)
            around = (ticks(e['pts'], e['before']), ticks(e['after'], e['pts']), ticks(e['after'], e['before']))
            self.assertTrue(min(around) >= 0 and around[2] <= 180000, (k, around))

    def test_schedule_format_gate_and_keep_alive(self):
        """PAT+PMT, then PCR, every 500-600 and 100-200 ms; audio only as L16 48 kHz, per mtu; off: keep-alive."""
        rx, svc = Rx(1234), self.start_ts(tone=False)
        self.assertEqual([(is_psi(d), is_pcr(d)) for d in rx.take(30, most=2)], [(True, False), (False, True)])
        self.start(sim('sim_capture') + ['--duration', 300, '--quiet'])
        for fields, traced, layout, psi_pcr in (  # layout: packets per audio datagram
                (('audio_codec=2', 'audio_rate_mode=2'), '2 8000 Hz Ch-2 Bit-8', set(), True),
                (('audio_rate_mode=0',), '2 48000 Hz Ch-2 Bit-8', set(), True),
                (('audio_codec=1', 'audio_rate_mode=2'), '1 8000 Hz Ch-2 Bit-16', set(), True),
                (('audio_rate_mode=0', 'audio_channel_mode=3'), '1 48000 Hz Ch-0 Bit-16', set(), False),
                (('ts_keep_alive=1',), '', set(), True), (('ts_keep_alive=0',), '', set(), False),
                (('audio_channel_mode=1',), '1 48000 Hz Ch-2 Bit-16', {7, 5}, True),
                (('mtu=215',), '', {1}, True), (('mtu=404',), '', {2}, True), (('mtu=1720',), '', {8, 4}, True)):
            mark = len(svc.text())
            self.mgmt('set', *fields)
            if traced:
                self.command(4)
                self.assertTrue(until(lambda: f'=> ADC-I2S {traced} ' in svc.text()[mark:]), svc.text())
            time.sleep(0.3)
            rx.take(0)
            ds = rx.take(2.5)
            psi, pcrs = [d for d in ds if is_psi(d)], [d for d in ds if is_pcr(d)]
            self.assertEqual(({len(pids(d)) for d in ds if AUDIO in (pids(d) or ())}, len(psi) >= 2 and len(pcrs) >= 5,
                              bool(ds), cc_gap(ds), len(psi) + len(pcrs) == len(ds)),
                             (layout, psi_pcr, psi_pcr, '', not layout), fields)
            self.assertGreaterEqual(min([b.t - a.t for a, b in zip(psi, psi[1:])] or [1]), 0.4, fields)  # send jitter
            self.assertGreaterEqual(min([ticks(pcr(b), pcr(a)) for a, b in zip(pcrs, pcrs[1:])] or [9e3]), 9e3, fields)
            age = [ticks(int(d.t * 1e6) // 100 * 9, pcr(d)) for d in pcrs]  # stamped a little before arrival
            self.assertTrue(all(-450 <= a <= 27000 for a in age), age)

    def test_command_5_reopens_towards_the_selected_destination(self):
        """Command 5 opens no socket on the alternate set, else one to the selected destination."""
        rx, alt = Rx(1234), Rx(1234, '127.0.0.2')
        svc = self.start_ts('use_alt_settings=1', 'alt_audio_output_mode=2')
        self.command(5)
        self.assertEqual((rx.take(2.5), 'peer_ip-' in svc.text()), ([], False))
        self.mgmt('set', 'use_alt_settings=0', 'ts_dest_ip_alt=127.0.0.2')
        self.assertEqual(rx.take(1), [])  # the primary set has a socket only once command 5 opens it
        self.command(5)
        stream = rx.take(60, stop=has_audio)
        self.mgmt('set', 'ts_dest_select=1')  # takes effect at the next command 5
        stream += rx.take(0.7)
        self.assertEqual((has_audio(stream), alt.take(0)), (True, []), svc.text())
        for dest, opens in (('127.0.0.2', True), ('', False), ('127.0.0.300', False)):
            self.mgmt('set', f'ts_dest_ip_alt={dest}')
            self.command(5)
            stream += rx.take(0) + alt.take(0)  # sent before and right after the command was served
            got = alt.take(1.5)
            stream += got
            trace = svc.text().count(f'[DBG] remake_ts_sock:1066 peer_ip-{dest} my_ip-127.0.0.1\n')
            self.assertEqual((has_audio(got) and sum(map(is_psi, got)) >= 1, bool(got), rx.take(0), trace),
                             (opens, opens, [], 1), dest)
        self.assertNotIn('fail to sockTxOpen', svc.text())
        self.mgmt('set', 'ts_dest_select=0')
        self.command(5)
        stream += rx.take(30, stop=has_audio)  # the counters carry on across reopenings
        self.assertEqual((has_audio(stream[-1:]), cc_gap(stream)), (True, ''))
