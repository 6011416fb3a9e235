import os, re, socket, struct, time
from appliance import *

STAMP = r'\[[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ \d]\d \d\d:\d\d:\d\d \d{4}\] '  # asctime, no newline


class Spine(Scene):
    def test_ends_without_block_feed_port_or_register_file(self):
        """Start-up ends without block (0, no log file), feed port (1) or /dev/mem (0); sim_mgmt refusals."""
        svc = self.service()
        self.assertEqual((svc.end(), svc.text()), (0, 'shmget failed :  ::: No such file or directory\n'))
        self.assertFalse(os.path.exists(LOG))
        self.assertIn('no block', self.mgmt('command', 4, status=1))
        self.block()
        before = self.mgmt('show')  # refused all or nothing
        for args, why in ((['set', 'no_such_field=1'], 'unknown field'), (['set', 'mtu'], 'FIELD=VALUE'),
                          (['set', 'mtu=1316', 'audio_codec=0x1FFFFFFFF'], 'audio_codec'),
                          (['frobnicate'], 'unknown sub-command')):
            st, out = run(sim('sim_mgmt') + args)
            self.assertTrue(st in (1, 2) and why in out, (args, st, out))
        self.assertEqual(self.mgmt('show'), before)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(('127.0.0.1', 18005))
            svc = self.service()
            self.assertEqual(svc.end(), 1)
        self.assertRegex(svc.text(), r'bind ::: .*\nfail to sockRxOpen for atrx\n\Z')
        self.assertTrue(os.path.isfile('/dev/mem'), 'not the sandbox register file')
        os.unlink('/dev/mem')
        svc = self.service()
        self.assertEqual((svc.end(), svc.text()), (0, 'Error: /dev/mem does not exist\n'))
        self.assertIn('mailbox 3: No such file or directory', self.mgmt('mailbox', 'read', 3, status=1))

    def test_refuses_a_block_smaller_than_its_layout(self):
        """A block of 4096 or 8192 bytes is refused at start, both sizes named, with status 1."""
        for size in (4096, 8192):
            shm = libc.shmget(1005, size, 0o1666)  # IPC_CREAT, as a careless owner would
            svc = self.service()
            self.assertEqual((svc.end(), svc.text()),
                             (1, f'fail to use the shared block: {size} bytes, its layout needs 13861\n'))
            libc.shmctl(shm, 0, None)  # IPC_RMID

    def test_follows_the_block_removed_and_created_again(self):
        """The block removed: said once; created again: attached, its commands served, the format written."""
        self.block()
        svc, rx = self.service(), Rx()
        self.command(4)
        self.mgmt('remove')
        self.assertTrue(svc.expect(r'\[SHM\] block 1005 removed: commands wait for a new one\n'), svc.text())
        self.mgmt('create')
        self.add(rx.port, rx.port, 'RTSP')  # the receiver's sockets take the new block's TTL
        self.assertTrue(svc.expect(r'\[SHM\] block 1005 attached anew \(16384 bytes\)\n'), svc.text())
        self.assertTrue(until(lambda: self.show('cur_audio_rate') == (48000,)), svc.text())
        self.assertEqual((svc.text().count('[SHM]'), svc.poll()), (2, None))

    def test_announces_serves_the_pending_command_and_takes_any_datagram(self):
        """Code 25 on mailbox 3, left there; the pending command served; feed datagrams of any size."""
        self.block()
        self.mgmt('command', 4, '--no-wait')
        svc, blk = self.service(), raw_block()
        self.assertTrue(until(lambda: blk.raw[13832:13836] == bytes(4)), svc.text())
        self.assertRegex(svc.text(), r'(^|\n)\[CMD\] code 4\n')
        shown = f'mailbox 3: 1 message(s)\ntype 3 code 25 size 4: {struct.pack(BE + "I", 25).hex(" ")}\n'
        self.assertEqual([self.mgmt('mailbox', 'read', 3) for _ in range(2)], [shown] * 2)
        for _ in range(3):
            for size in (0, 1, 63, 64, 3080, 3081, 65507):
                send(18005, b'\x5a' * size)
            self.command(0)  # the loop goes on
        refused = lambda: re.findall(r'invalid audio length\((\d+)\)', svc.text())
        until(lambda: len(refused()) >= 6, 10)
        self.assertEqual((refused(), svc.poll()), (['1', '63'] * 3, None))

    def test_commands_and_the_log(self):
        """Codes 0, 6, 9, 0xFFFFFFFF only logged (the name picks screen or file); 2 no command; no NUL."""
        os.makedirs('/tmp/bin_to_screen')
        os.symlink(f'{BUILD}/audio_rtsp', '/tmp/bin_to_screen/audio_rtsp')
        os.symlink(f'{BUILD}/audio_rtsp', '/tmp/my_audio_to_screen_copy')
        self.block()
        svc = self.start(EMU + ['/tmp/my_audio_to_screen_copy'])
        self.command(9)
        self.assertTrue(svc.expect(r'(^|\n)\[CMD\] code 9\n'), svc.text())
        self.assertFalse(os.path.exists(LOG))
        svc.stop()
        svc, blk = self.start(EMU + ['/tmp/bin_to_screen/audio_rtsp']), raw_block()  # "_to_screen" only in its path
        self.detect(2)  # the second confirms the first format; the poll is quiet afterwards
        self.assertTrue(until(lambda: '[Fix Audio]' in (read(LOG) or '')), read(LOG))
        before = blk.raw[:5972] + blk.raw[5992:13832]  # all below the mailbox but the detected format
        for code in (0, 6, 9, 0xFFFFFFFF):
            Path(LOG).write_text(f'{code}'.rjust(8192, '.') + '\n')  # past 8192 bytes: the next message rotates it
            self.command(code)
            self.assertEqual((read(LOG + '.bak'), blk.raw[:5972] + blk.raw[5992:13832]),
                             (f'{code}'.rjust(8192, '.') + '\n', before), code)
            self.assertRegex(read(LOG), rf'\A{STAMP}\[CMD\] code {code}\n\Z')
        logged = read(LOG)
        self.mgmt('set', 'cmd_code=4', 'cmd_pending=2')
        time.sleep(1.5)
        self.assertEqual((self.show('cmd_pending'), read(LOG), svc.text()), ((2,), logged, ''))
        # Every text, and all from the client tag to the end, without a NUL, arguments included.
        for lo, hi in ((1440, 1488), (3700, 5972), (13840, 13856), (13860, 16384)):
            blk[lo:hi] = b'7' * (hi - lo)
        for code in (1, 2, 3, 4, 5, 9):
            struct.pack_into(BE + 'I', blk, 13836, code)
            struct.pack_into(BE + 'I', blk, 13832, 1)
            self.assertTrue(until(lambda: blk.raw[13832:13836] == bytes(4)), code)
        time.sleep(2.5)  # format polls with the texts unterminated
        self.assertIsNone(svc.poll(), svc.text())
