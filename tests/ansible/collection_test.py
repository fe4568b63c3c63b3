#!/usr/bin/env python3
"""The aputil.ap collection end to end: ansible-playbook on localhost (local
connection) inside the namespace of tests/netns/with-netns, the modules running
the real apctl, and apsim with several APs on the far side of the veth pair.

The AP's side is judged by apsim alone: its JSON-lines log (what was written and
committed) and its dumps of the live images, compared byte for byte with images
the test edits itself. Every play runs with -vvv and all of its output is
searched for the passwords and keys at the end.

Environment: APUTIL_APSIM, APUTIL_APCTL, APUTIL_NS_B, APUTIL_PEER_IF, APUTIL_IF (set by
with-netns and CTest)."""

import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTIONS = os.path.join(HERE, '..', '..', 'ansible', 'collections')

PASSWORD = 'Lx9-q7Tz!pw'      # login password of every simulated AP
NEW_PASSWORD = 'Nw4#uRb8zK2'  # the one the last play sets
KEY_ASCII = 'Qk7#m'           # a 64-bit key typed as text
STATE_KEY_HEX = '5be2c09a71'  # a key the first AP holds from the start
AP_COUNT = 3

SSID_OFFSET, SSID_WIDTH = 1032, 36
PASSWORD_OFFSET = 552
CRC_OFFSET = 4084
KEY1_OFFSET = 1075
MSG_BLOCK, BLOCK_OP_WRITE, BLOCK_OP_COMMIT = 20, 2, 0x30


def image_crc(image):
    """The image checksum: reflected CRC-32, seed 0x5A5A5A5A, no final XOR."""
    crc = 0x5A5A5A5A
    for byte in image[:CRC_OFFSET]:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
    return crc


def with_text(image, offset, width, text):
    """The image with a text field written as the device keeps it: the text
    and one 0 byte, the rest of the field as it was."""
    raw = text.encode('ascii') + b'\0'
    assert len(raw) <= width
    out = bytearray(image)
    out[offset:offset + len(raw)] = raw
    return out


def restamped(image):
    out = bytearray(image)
    out[CRC_OFFSET:CRC_OFFSET + 4] = struct.pack('<I', image_crc(out))
    return bytes(out)


def field_text(image, offset, width):
    return bytes(image[offset:offset + width]).split(b'\0', 1)[0].decode('latin-1')


class Apsim:
    """apsim in the peer namespace, driven through its stdin."""

    def __init__(self, workdir):
        self.log = os.path.join(workdir, 'apsim.log')
        self.dumps = os.path.join(workdir, 'dumps')
        state = os.path.join(workdir, 'apsim.state')
        with open(state, 'w') as f:
            f.write('0 wep 64\n0 key 0 %s\n0 default-key 0\n' % STATE_KEY_HEX)
        cmd = ['ip', 'netns', 'exec', os.environ['APUTIL_NS_B'], os.environ['APUTIL_APSIM'],
               '--iface', os.environ['APUTIL_PEER_IF'], '--count', str(AP_COUNT), '--seed', '20',
               '--password', PASSWORD, '--state', state, '--log', self.log, '--dump-dir', self.dumps]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.aps = []  # (mac, name) in index order
        timer = threading.Timer(20, self.proc.kill)
        timer.start()
        try:
            for line in self.proc.stdout:
                words = line.split()
                if words[:1] == ['ap']:
                    self.aps.append((words[2].lower(), ' '.join(words[3:])))
                elif words == ['ready']:
                    break
            else:
                raise RuntimeError('apsim did not get ready')
        finally:
            timer.cancel()

    def command(self, text):
        self.proc.stdin.write(text + '\n')
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if not answer.startswith('ok'):
            raise RuntimeError('apsim %s: %s' % (text, answer))

    def images(self):
        """Every AP's live image, by MAC, as apsim dumps it now."""
        self.command('dump')
        return dict((mac, self.image(mac)) for mac, _ in self.aps)

    def image(self, mac):
        with open(os.path.join(self.dumps, mac.replace(':', '-') + '.bin'), 'rb') as f:
            return f.read()

    def log_lines(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def writes_and_commits(lines):
    """(APs written to, APs that committed) among these log lines."""
    written = set(l.get('ap') for l in lines if l.get('type') == MSG_BLOCK and l.get('op') == BLOCK_OP_WRITE)
    committed = set(l.get('ap') for l in lines if l.get('event') == 'commit' and l.get('ok'))
    return written, committed


class Collection(unittest.TestCase):
    """One simulated site; the tests run in name order and build on each other."""

    outputs = []  # every play's full output, for the secrets check

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='aputil-ansible-')
        cls.apsim = Apsim(cls.work)
        cls.original = cls.apsim.images()
        # apctl through a recorder of its argument lists, found in the PATH as
        # the modules' default lookup does.
        bindir = os.path.join(cls.work, 'bin')
        os.mkdir(bindir)
        cls.argv_log = os.path.join(cls.work, 'apctl-argv')
        with open(os.path.join(bindir, 'apctl'), 'w') as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\nexec "%s" "$@"\n'
                    % (cls.argv_log, os.environ['APUTIL_APCTL']))
        os.chmod(os.path.join(bindir, 'apctl'), 0o755)
        cls.inventory = os.path.join(cls.work, 'hosts.ini')
        with open(cls.inventory, 'w') as f:
            f.write('[sites]\nsite-a ansible_host=localhost ansible_connection=local '
                    'ansible_python_interpreter=%s\n' % sys.executable)
        cls.secrets = os.path.join(cls.work, 'secrets.json')
        with open(cls.secrets, 'w') as f:
            json.dump(dict(ap_password=PASSWORD, new_password=NEW_PASSWORD, wep_key=KEY_ASCII), f)
        os.chmod(cls.secrets, 0o600)
        cls.env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.abspath(COLLECTIONS),
                       PATH=bindir + os.pathsep + os.environ.get('PATH', ''),
                       ANSIBLE_NOCOLOR='1', ANSIBLE_FORCE_COLOR='0', ANSIBLE_RETRY_FILES_ENABLED='0',
                       ANSIBLE_LOCAL_TEMP=os.path.join(cls.work, 'tmp'),
                       ANSIBLE_REMOTE_TMP=os.path.join(cls.work, 'rtmp'),
                       ANSIBLE_STDOUT_CALLBACK='default')

    @classmethod
    def tearDownClass(cls):
        cls.apsim.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def play(self, tasks, *options, **extra_vars):
        """Runs a play of these tasks on the site with -vvv; returns
        (exit status, output, the registered result of the task named 'it')."""
        path = os.path.join(self.work, 'play.yml')
        result_file = os.path.join(self.work, 'result.json')
        if os.path.exists(result_file):
            os.unlink(result_file)
        # The result is kept also when the task fails (from the rescue), and
        # the keeping itself shows nothing.
        keep = {'ansible.builtin.copy': dict(content='{{ it | to_json }}', dest=result_file),
                'check_mode': False, 'diff': False, 'no_log': True}
        body = [dict(hosts='sites', gather_facts=False, vars=extra_vars,
                     tasks=[dict(block=tasks + [keep],
                                 rescue=[keep, {'ansible.builtin.fail': dict(msg='the task failed')}])])]
        with open(path, 'w') as f:
            json.dump(body, f)
        cmd = ['ansible-playbook', '-vvv', '-i', self.inventory, '-e', '@' + self.secrets, path] + list(options)
        run = subprocess.run(cmd, env=self.env, cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=240)
        self.outputs.append(run.stdout)
        registered = None
        if os.path.exists(result_file):
            with open(result_file) as f:
                registered = json.load(f)
        return run.returncode, run.stdout, registered

    def config(self, ap, settings, *options, **more):
        task = dict(name='it', register='it', **{'aputil.ap.ap_config': dict(
            ap=ap, password='{{ ap_password }}', settings=settings, **more)})
        return self.play([task], *options)

    def log_since(self, mark):
        return self.apsim.log_lines()[mark:]

    def test_1_info_lists_the_aps_and_reads_them_without_key_bytes(self):
        task = dict(name='it', register='it', **{'aputil.ap.ap_info': dict(
            ap='all', password='{{ ap_password }}', apctl=os.path.join(self.work, 'bin', 'apctl'))})
        rc, out, it = self.play([task])
        self.assertEqual(rc, 0, out)
        self.assertFalse(it['changed'])
        self.assertEqual([(a['mac'], a['name']) for a in it['aps']], sorted(self.apsim.aps))
        self.assertEqual(sorted(d['ap'] for d in it['details']), sorted(mac for mac, _ in self.apsim.aps))
        for entry in it['details']:
            image = self.original[entry['ap']]
            self.assertTrue(entry['ok'], entry)
            self.assertEqual(entry['settings']['ssid'], field_text(image, SSID_OFFSET, SSID_WIDTH))
            self.assertTrue(entry['settings']['crc_valid'])
            self.assertNotIn('keys', entry['settings'])
        first = dict((d['ap'], d) for d in it['details'])[self.apsim.aps[0][0]]
        self.assertEqual((first['settings']['wep'], first['settings']['default_key']), ('64', 1))
        self.assertNotIn(STATE_KEY_HEX, out.lower())
        # The adapter option reaches apctl: the APs' own interface finds them
        # all, an interface that cannot carry the protocol fails the task.
        for adapter, found in ((os.environ['APUTIL_IF'], sorted(self.apsim.aps)), ('nosuch0', None)):
            with self.subTest(adapter=adapter):
                task = dict(name='it', register='it', **{'aputil.ap.ap_info': dict(adapter=adapter, all_models=True)})
                rc, out, it = self.play([task])
                if found is None:
                    self.assertNotEqual(rc, 0, out)
                    self.assertEqual(it['msg'], 'browse: adapter nosuch0 is not usable '
                                                '(missing, not Ethernet, or no privilege)')
                else:
                    self.assertEqual(rc, 0, out)
                    self.assertEqual([(a['mac'], a['name']) for a in it['aps']], found)
                    self.assertEqual(set(a['adapter'] for a in it['aps']), set([adapter]))

    def test_2_check_mode_shows_the_diff_and_writes_nothing(self):
        mark = len(self.apsim.log_lines())
        rc, out, it = self.config('all', dict(ssid='site-a-office'), '--check', '--diff')
        self.assertEqual(rc, 0, out)
        self.assertTrue(it['changed'])
        for mac, _ in self.apsim.aps:
            old = field_text(self.original[mac], SSID_OFFSET, SSID_WIDTH)
            self.assertIn('-ssid: %s' % old, out)
        self.assertEqual(out.count('+ssid: site-a-office'), AP_COUNT, out)
        self.assertEqual(writes_and_commits(self.log_since(mark)), (set(), set()))
        self.assertEqual(self.apsim.images(), self.original)

    def test_3_refused_values_fail_the_task_and_send_nothing(self):
        first = '%s (%s)' % self.apsim.aps[0]
        cases = [
            ('channel off the range', dict(channel=15), 'channel'),
            # Only the AP's image can tell (its channel mask allows 1..11):
            # the first AP fails after its read, and the run stops there.
            ('channel off the mask', dict(channel=13), first + ': bad value for channel'),
            ('short address', dict(ip='1.2.3'), 'ip'),
            ('33-character SSID', dict(ssid='s' * 33), 'ssid'),
            ('6-digit hex key', dict(wep=64, key1='a1b2c3'), 'key1'),
            ('unknown WEP mode', dict(wep='on'), 'wep'),
            ('malformed MAC', dict(mac_table=['00:11:22:33:44']), 'mac'),
            ('unknown setting', dict(colour='blue'), 'colour'),
        ]
        for what, settings, key in cases:
            with self.subTest(what):
                mark = len(self.apsim.log_lines())
                rc, out, it = self.config('all', settings)
                self.assertNotEqual(rc, 0, out)
                self.assertTrue(it['failed'])
                self.assertFalse(it.get('changed'))
                self.assertIn(key, it['msg'])
                self.assertEqual(writes_and_commits(self.log_since(mark)), (set(), set()))
        self.assertEqual(self.apsim.images(), self.original)

    def test_4_sets_the_ssid_on_every_ap_after_a_backup(self):
        mark = len(self.apsim.log_lines())
        backups = os.path.join(self.work, 'backups')
        rc, out, it = self.config('all', dict(ssid='site-a-office'), '--diff', backup_dir=backups, keep_going=True)
        self.assertEqual(rc, 0, out)
        self.assertTrue(it['changed'])
        macs = set(mac for mac, _ in self.apsim.aps)
        self.assertEqual(set(a['mac'] for a in it['aps']), macs)
        for ap in it['aps']:
            self.assertTrue(ap['ok'] and ap['changed'] and ap['verified'], ap)
            self.assertEqual(ap['changes']['ssid']['after'], 'site-a-office')
        written, committed = writes_and_commits(self.log_since(mark))
        self.assertEqual((written, committed), (macs, macs))
        # Byte-exact: only the SSID field and the checksum differ.
        images = self.apsim.images()
        for mac in macs:
            expected = restamped(with_text(self.original[mac], SSID_OFFSET, SSID_WIDTH, 'site-a-office'))
            self.assertEqual(images[mac], expected, mac)
        # One backup per AP of its original image, private to the user.
        folder = it['backup_folder']
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        self.assertEqual(sorted(os.listdir(folder)), sorted(m.replace(':', '-') + '.apbak' for m in macs))
        for ap in it['aps']:
            with open(ap['backup'], 'rb') as f:
                data = f.read()
            self.assertEqual(stat.S_IMODE(os.stat(ap['backup']).st_mode), 0o600)
            self.assertEqual(data[:8], b'APCTLBAK')
            self.assertEqual(data[10:16], bytes.fromhex(ap['mac'].replace(':', '')))
            date_len, version_len = data[25], struct.unpack_from('<H', data, 26)[0]
            start = 28 + date_len + version_len
            self.assertEqual(data[start:start + 4096], self.original[ap['mac']], ap['mac'])

    def test_5_the_same_play_again_is_ok_and_writes_nothing(self):
        mark = len(self.apsim.log_lines())
        before = self.apsim.images()
        backups = os.path.join(self.work, 'backups')
        folders = sorted(os.listdir(backups))
        rc, out, it = self.config('all', dict(ssid='site-a-office'), '--diff', backup_dir=backups, keep_going=True)
        self.assertEqual(rc, 0, out)
        self.assertFalse(it['changed'])
        self.assertEqual([a['changes'] for a in it['aps']], [{}] * AP_COUNT)
        self.assertEqual(writes_and_commits(self.log_since(mark)), (set(), set()))
        self.assertEqual(sorted(os.listdir(backups)), folders)
        self.assertEqual(self.apsim.images(), before)

    def test_6_a_refused_write_fails_the_task_naming_the_ap(self):
        before = self.apsim.images()
        self.apsim.command('fault refuse-write-chunk 3')
        try:
            for keep_going, attempted in ((False, 1), (True, AP_COUNT)):
                with self.subTest(keep_going=keep_going):
                    mark = len(self.apsim.log_lines())
                    rc, out, it = self.config('all', dict(ssid='site-a-lab'), keep_going=keep_going)
                    self.assertNotEqual(rc, 0, out)
                    self.assertTrue(it['failed'])
                    self.assertFalse(it['changed'])
                    written, committed = writes_and_commits(self.log_since(mark))
                    self.assertEqual((len(written), committed), (attempted, set()))
                    for mac in written:
                        name = dict(self.apsim.aps)[mac]
                        self.assertIn('%s (%s)' % (mac, name), it['msg'])
                    self.assertEqual(sum(1 for a in it['aps'] if not a['ok']), attempted)
        finally:
            self.apsim.command('fault refuse-write-chunk off')
        self.assertEqual(self.apsim.images(), before)

    def test_7_keys_and_a_new_password_reach_the_ap_and_no_output(self):
        mac, name = self.apsim.aps[1]
        mark = len(self.apsim.log_lines())
        rc, out, it = self.config(name, dict(wep='64', key1='{{ wep_key }}', default_key=1,
                                             password='{{ new_password }}'), '--diff')
        self.assertEqual(rc, 0, out)
        self.assertTrue(it['changed'])
        ap, = it['aps']
        self.assertEqual((ap['mac'], ap['ok'], ap['verified']), (mac, True, True))
        self.assertEqual(ap['changes']['key1'], dict(before='********', after='********'))
        self.assertEqual(writes_and_commits(self.log_since(mark))[1], set([mac]))
        image = self.apsim.image(mac)
        self.assertEqual(image[KEY1_OFFSET:KEY1_OFFSET + 5], KEY_ASCII.encode())
        self.assertEqual(field_text(image, PASSWORD_OFFSET, 480), NEW_PASSWORD)
        # Nothing of any play, at -vvv, shows a password or a key.
        everything = '\n'.join(self.outputs)
        for secret in (PASSWORD, NEW_PASSWORD, KEY_ASCII, KEY_ASCII.encode().hex()):
            self.assertNotIn(secret, everything)
        self.assertIn('aputil.ap.ap_config', everything)  # the output was kept
        # Nor does any apctl command line: those are readable by every user.
        with open(self.argv_log) as f:
            argv = f.read()
        self.assertIn('--password-file', argv)
        for secret in (PASSWORD, NEW_PASSWORD):
            self.assertNotIn(secret, argv)


if __name__ == '__main__':
    needed = ('APUTIL_APSIM', 'APUTIL_APCTL', 'APUTIL_NS_B', 'APUTIL_PEER_IF', 'APUTIL_IF')
    missing = [n for n in needed if not os.environ.get(n)]
    if missing:
        sys.stderr.write('%s not set: run through ctest, inside tests/netns/with-netns; skipped\n' % ', '.join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)
