#!/usr/bin/env python3
"""The aputil.ap modules' own decisions, without a wire: how settings become
apctl's KEY=VALUE arguments, how passwords are handed over, which access
points are backed up and written, and how failures are reported. apctl is
replaced by a recorder that answers from a script of documented JSON replies;
the real apctl is exercised by collection_test.py."""

import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTIONS = os.path.abspath(os.path.join(HERE, '..', '..', 'ansible', 'collections'))
MODULES = os.path.join(COLLECTIONS, 'ansible_collections', 'aputil', 'ap', 'plugins', 'modules')
sys.path.insert(0, COLLECTIONS)

from ansible_collections.aputil.ap.plugins.module_utils import apctl as util  # noqa: E402

MAC1, MAC2 = '02:5e:00:00:00:01', '02:5e:00:00:00:02'

# The stand-in for apctl: records each run (argv, and the password files' mode
# and first line while they exist), then answers with the next scripted reply
# for its command ("set --check", "set", "backup", "browse", "show").
RECORDER = r'''#!%(python)s
import json, os, stat, sys
work = %(work)r
argv = sys.argv[1:]
run = dict(argv=argv, files={})
for i, arg in enumerate(argv):
    path = None
    if arg == '--password-file':
        path = argv[i + 1]
    elif arg.startswith('password=@'):
        path = arg[len('password=@'):]
    if path:
        with open(path) as f:
            run['files'][arg.split('=')[0]] = [stat.S_IMODE(os.stat(path).st_mode), f.readline().rstrip('\n'), path]
command = next(a for a in argv if not a.startswith('-') and a not in [argv[j + 1] for j, b in enumerate(argv[:-1]) if b in ('--password-file', '--adapter')])
if command == 'set' and '--check' in argv:
    command = 'set --check'
with open(os.path.join(work, 'runs'), 'a') as f:
    f.write(json.dumps(run) + '\n')
with open(os.path.join(work, 'script')) as f:
    script = json.load(f)
replies = script[command]
rc, reply = replies.pop(0) if len(replies) > 1 else replies[0]
if command == 'backup':
    # Files as apctl names them: the given path, or one per MAC in a folder.
    for result in reply['results']:
        path = argv[-1]
        if os.path.isdir(path):
            path = os.path.join(path, result['ap'].replace(':', '-') + '.apbak')
        result['file'] = path
        if result['ok']:
            open(path, 'w').write('backup')
with open(os.path.join(work, 'script'), 'w') as f:
    json.dump(script, f)
print(json.dumps(reply))
sys.exit(rc)
'''


def set_reply(check, *results):
    return dict(command='set', ok=all(r['ok'] for r in results), error=None, check=check, results=list(results))


def ap_result(mac, name, changes=(), written=False, ok=True, error=None):
    return dict(ap=mac, name=name, ok=ok, error=error, written=written, verified=ok,
                changes=[dict(field=f, **{'from': a, 'to': b}) for f, a, b in changes])


def backup_reply(*results):
    """results: (mac, error or None) per AP."""
    return dict(command='backup', ok=all(e is None for _, e in results), error=None,
                results=[dict(ap=mac, name='x', ok=e is None, error=e) for mac, e in results])


class SettingAssignments(unittest.TestCase):
    def test_yaml_values_become_apctl_texts(self):
        cases = [
            (dict(wep=False), [('wep', 'off')]),        # unquoted YAML off
            (dict(wep='OFF'), [('wep', 'off')]),
            (dict(wep=64), [('wep', '64')]),
            (dict(wep='128'), [('wep', '128')]),
            (dict(mac_access=True), [('mac-access', 'on')]),
            (dict(mac_access=False), [('mac-access', 'off')]),
            (dict(mac_table=[]), [('mac-table', '')]),   # an empty table, not "leave alone"
            (dict(mac_table=['00:11:22:33:44:55', ' 00:11:22:33:44:66']),
             [('mac-table', '00:11:22:33:44:55,00:11:22:33:44:66')]),
            (dict(mac_add=['00:11:22:33:44:55', '00:11:22:33:44:66']),
             [('mac-add', '00:11:22:33:44:55'), ('mac-add', '00:11:22:33:44:66')]),
            (dict(channel=11, default_key=2), [('channel', '11'), ('default-key', '2')]),
            (dict(ssid='a b', channel=None), [('ssid', 'a b')]),
            (dict(password='secret', key1='abcde'), [('key1', 'abcde')]),  # the new password goes by file
        ]
        for settings, expected in cases:
            with self.subTest(settings=settings):
                self.assertEqual(util.setting_assignments(settings), expected)

    def test_wep_modes_other_than_off_64_128_are_refused(self):
        for value in (True, 'on', 40, '64bit', ''):
            with self.subTest(value=value):
                with self.assertRaises(util.SettingsError):
                    util.setting_assignments(dict(wep=value))


class Modules(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='aputil-module-')
        self.apctl = os.path.join(self.work, 'apctl')
        with open(self.apctl, 'w') as f:
            f.write(RECORDER % dict(python=sys.executable, work=self.work))
        os.chmod(self.apctl, 0o755)

    def tearDown(self):
        subprocess.run(['rm', '-rf', self.work])

    def run_module(self, name, script, check=False, diff=False, **args):
        with open(os.path.join(self.work, 'script'), 'w') as f:
            json.dump(script, f)
        args = dict(args, apctl=self.apctl, _ansible_check_mode=check, _ansible_diff=diff,
                    _ansible_tmpdir=self.work, _ansible_remote_tmp=self.work, _ansible_keep_remote_files=False)
        path = os.path.join(self.work, 'args.json')
        with open(path, 'w') as f:
            json.dump(dict(ANSIBLE_MODULE_ARGS=args), f)
        env = dict(os.environ, PYTHONPATH=COLLECTIONS)
        out = subprocess.run([sys.executable, os.path.join(MODULES, name + '.py'), path], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        result = json.loads(out.stdout)
        runs = []
        if os.path.exists(os.path.join(self.work, 'runs')):
            with open(os.path.join(self.work, 'runs')) as f:
                runs = [json.loads(line) for line in f]
        return result, runs

    def test_passwords_go_by_private_files_that_are_removed(self):
        script = {'set': [[0, set_reply(False, ap_result(MAC1, 'A', [('password', None, None)], written=True))]]}
        result, runs = self.run_module('ap_config', script, ap=MAC1, password='login-pw',
                                       settings=dict(password='new-pw'))
        self.assertTrue(result['changed'], result)
        run, = runs
        self.assertEqual(run['files']['--password-file'][:2], [0o600, 'login-pw'])
        self.assertEqual(run['files']['password'][:2], [0o600, 'new-pw'])
        for _, _, path in run['files'].values():
            self.assertFalse(os.path.exists(path))
        self.assertNotIn('login-pw', ' '.join(run['argv']))
        self.assertNotIn('new-pw', ' '.join(run['argv']))
        self.assertEqual(result['aps'][0]['changes'], dict(password=dict(before='********', after='********')))

    def test_backup_only_of_the_aps_that_change_then_write_only_those(self):
        script = {
            'set --check': [[0, set_reply(True, ap_result(MAC1, 'A', [('ssid', 'lab', 'office')]),
                                          ap_result(MAC2, 'B'))]],
            'backup': [[0, backup_reply((MAC1, None))]],
            'set': [[0, set_reply(False, ap_result(MAC1, 'A', [('ssid', 'lab', 'office')], written=True))]],
        }
        backups = os.path.join(self.work, 'backups')
        result, runs = self.run_module('ap_config', script, diff=True, ap='all', password='pw',
                                       settings=dict(ssid='office'), backup_dir=backups)
        self.assertTrue(result['changed'], result)
        commands = [r['argv'][r['argv'].index('--password-file') + 2:] for r in runs]
        folder = result['backup_folder']
        self.assertEqual(commands[1:], [
            ['backup', MAC1, os.path.join(folder, '02-5e-00-00-00-01.apbak')],
            ['set', MAC1, 'ssid=office'],
        ])
        self.assertIn('--check', runs[0]['argv'])
        self.assertEqual(runs[0]['argv'][-3:], ['set', 'all', 'ssid=office'])
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(result['aps'][0]['backup']).st_mode), 0o600)
        by_mac = dict((a['mac'], a) for a in result['aps'])
        self.assertEqual((by_mac[MAC1]['changed'], by_mac[MAC2]['changed']), (True, False))
        self.assertIsNone(by_mac[MAC2]['backup'])
        self.assertEqual(result['diff'], [dict(before_header='%s (A)' % MAC1, after_header='%s (A)' % MAC1,
                                               before='ssid: lab\n', after='ssid: office\n')])

    def test_a_rerun_keeps_the_first_backup(self):
        script = {
            'set --check': [[0, set_reply(True, ap_result(MAC1, 'A', [('ssid', 'lab', 'office')]))]],
            'backup': [[0, backup_reply((MAC1, None))]],
            'set': [[0, set_reply(False, ap_result(MAC1, 'A', [('ssid', 'lab', 'office')], written=True))]],
        }
        backups = os.path.join(self.work, 'backups')
        first, _ = self.run_module('ap_config', script, ap=MAC1, password='pw', settings=dict(ssid='office'),
                                   backup_dir=backups)
        second, _ = self.run_module('ap_config', script, ap=MAC1, password='pw', settings=dict(ssid='office'),
                                    backup_dir=backups)
        self.assertNotEqual(first['backup_folder'], second['backup_folder'])
        self.assertTrue(os.path.exists(first['aps'][0]['backup']))

    def test_a_failed_backup_leaves_its_ap_unwritten(self):
        plan = set_reply(True, ap_result(MAC1, 'A', [('ssid', 'lab', 'office')]),
                         ap_result(MAC2, 'B', [('ssid', 'lab', 'office')]))
        # Without keep_going apctl stops at the first AP that fails.
        for keep_going, backed, written in ((False, [(MAC1, 'no reply')], None),
                                            (True, [(MAC1, 'no reply'), (MAC2, None)], [MAC2])):
            with self.subTest(keep_going=keep_going):
                os.path.exists(os.path.join(self.work, 'runs')) and os.unlink(os.path.join(self.work, 'runs'))
                backups = os.path.join(self.work, 'b%d' % keep_going)
                script = {
                    'set --check': [[0, plan]],
                    'backup': [[1, backup_reply(*backed)]],
                    'set': [[0, set_reply(False, ap_result(MAC2, 'B', [('ssid', 'lab', 'office')],
                                                           written=True))]],
                }
                result, runs = self.run_module('ap_config', script, ap='all', password='pw',
                                               settings=dict(ssid='office'), keep_going=keep_going,
                                               backup_dir=backups)
                self.assertTrue(result['failed'])
                self.assertIn('%s (A): backup failed, not changed: no reply' % MAC1, result['msg'])
                sets = [r['argv'] for r in runs if 'set' in r['argv'] and '--check' not in r['argv']]
                self.assertEqual([s[s.index('set') + 1:-1] for s in sets], [written] if written else [])
                self.assertEqual(result['changed'], bool(written))
                # A run that kept no backup leaves no empty folder behind.
                self.assertEqual(len(os.listdir(backups)), 1 if written else 0)

    def test_failures_name_the_ap_and_carry_apctls_message(self):
        cases = [
            ('refused value', {'set': [[2, dict(command='set', ok=False, error='channel: 15 is not 1..14',
                                                check=False, results=[])]]},
             'ap all: channel: 15 is not 1..14'),
            ('refused write', {'set': [[1, set_reply(False, ap_result(MAC1, 'A', [('ssid', 'x', 'y')], ok=False,
                                                                      error='write refused (status 10)'))]]},
             '%s (A): write refused (status 10)' % MAC1),
            ('no adapter', {'set': [[3, dict(command='set', ok=False, error='no usable adapter', check=False,
                                             results=[])]]},
             'ap all: no usable adapter'),
            ('not apctl output', {'set': [[0, 'garbage']]}, 'ap all: apctl exited with status 0'),
        ]
        for what, script, message in cases:
            with self.subTest(what):
                result, _ = self.run_module('ap_config', script, ap='all', password='pw', settings=dict(channel=15))
                self.assertTrue(result['failed'], result)
                self.assertEqual(result['msg'], message)

    def test_no_ap_found_is_ok_with_a_warning(self):
        for backup_dir in (None, os.path.join(self.work, 'b')):
            with self.subTest(backup_dir=backup_dir):
                script = {'set': [[0, set_reply(False)]], 'set --check': [[0, set_reply(True)]]}
                result, _ = self.run_module('ap_config', script, ap='all', password='pw', settings=dict(ssid='x'),
                                            backup_dir=backup_dir)
                self.assertFalse(result.get('failed'), result)
                self.assertEqual((result['changed'], result['aps']), (False, []))
                self.assertEqual(result['warnings'], ['no access point answered on this host; nothing was set'])

    def test_check_mode_asks_apctl_for_a_check_only(self):
        script = {'set --check': [[0, set_reply(True, ap_result(MAC1, 'A', [('key1', None, None),
                                                                            ('wep', 'off', '64')]))]]}
        result, runs = self.run_module('ap_config', script, check=True, diff=True, ap=MAC1, password='pw',
                                       settings=dict(wep=64, key1='abcde'))
        self.assertTrue(result['changed'])
        run, = runs
        self.assertIn('--check', run['argv'])
        self.assertEqual(result['diff'][0]['before'], 'key1: ********\nwep: off\n')
        self.assertEqual(result['diff'][0]['after'], 'key1: ******** (new)\nwep: 64\n')

    def test_info_drops_key_bytes_and_reports_unreadable_aps(self):
        browse = dict(command='browse', ok=True, error=None, aps=[dict(mac=MAC1, name='A'), dict(mac=MAC2, name='B')])
        show = dict(command='show', ok=False, error=None, results=[
            dict(ap=MAC1, name='A', ok=True, error=None, settings=dict(ssid='lab', keys=['00' * 13] * 4)),
            dict(ap=MAC2, name='B', ok=False, error='login refused', settings=None)])
        result, runs = self.run_module('ap_info', {'browse': [[0, browse]], 'show': [[1, show]]}, ap='all',
                                       password='pw')
        self.assertTrue(result['failed'])
        self.assertEqual(result['msg'], '%s (B): login refused' % MAC2)
        self.assertEqual(result['details'][0]['settings'], dict(ssid='lab'))
        self.assertNotIn('--show-keys', runs[1]['argv'])


class Sanity(unittest.TestCase):
    """Each module compiles, ansible-doc renders it, and its documentation
    describes exactly the options its argument table takes (names, types,
    defaults, required, no_log never documented as shown)."""

    def documented(self, name):
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS)
        out = subprocess.run(['ansible-doc', '--json', '-t', 'module', 'aputil.ap.' + name], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNotIn('WARNING', out.stderr)
        return json.loads(out.stdout)['aputil.ap.' + name]

    def compare(self, where, arguments, docs):
        self.assertEqual(sorted(arguments), sorted(docs), where)
        for option, rule in arguments.items():
            doc = docs[option]
            with self.subTest(option='%s.%s' % (where, option)):
                self.assertEqual(doc.get('type', 'str'), rule.get('type', 'str'))
                self.assertEqual(bool(doc.get('required')), bool(rule.get('required')))
                self.assertEqual(doc.get('default'), rule.get('default'))
                self.assertEqual(sorted(doc.get('aliases', [])), sorted(rule.get('aliases', [])))
                self.assertEqual(doc.get('elements'), rule.get('elements'))
                if rule.get('options'):
                    self.compare(option, rule['options'], doc.get('suboptions', {}))

    def test_documentation_matches_the_argument_table(self):
        import importlib
        for name in ('ap_info', 'ap_config'):
            with self.subTest(module=name):
                module = importlib.import_module('ansible_collections.aputil.ap.plugins.modules.' + name)
                doc = self.documented(name)
                self.assertTrue(doc['examples'].strip())
                self.assertTrue(doc['return'])
                self.compare(name, module.ARGUMENTS, doc['doc']['options'])

    def test_the_readme_play_parses(self):
        readme = os.path.join(HERE, '..', '..', 'ansible', 'README.md')
        with open(readme) as f:
            lines = f.read().split('\n')
        start = lines.index('`ssid.yml`:') + 2
        end = start
        while end < len(lines) and (lines[end].startswith('    ') or not lines[end]):
            end += 1
        play = '\n'.join(line[4:] for line in lines[start:end])
        self.assertIn('aputil.ap.ap_config', play)
        work = tempfile.mkdtemp(prefix='aputil-readme-')
        try:
            with open(os.path.join(work, 'ssid.yml'), 'w') as f:
                f.write(play)
            with open(os.path.join(work, 'hosts'), 'w') as f:
                f.write('[sites]\nsite-a ansible_connection=local\n')
            env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS)
            out = subprocess.run(['ansible-playbook', '--syntax-check', '-i', os.path.join(work, 'hosts'),
                                  os.path.join(work, 'ssid.yml')], env=env, cwd=work, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, timeout=120)
            self.assertEqual(out.returncode, 0, out.stdout)
        finally:
            subprocess.run(['rm', '-rf', work])

    def test_secrets_are_no_log(self):
        from ansible_collections.aputil.ap.plugins.modules import ap_config, ap_info
        self.assertTrue(ap_info.ARGUMENTS['password']['no_log'])
        self.assertTrue(ap_config.ARGUMENTS['password']['no_log'])
        secret = set(k for k, v in ap_config.ARGUMENTS['settings']['options'].items() if v.get('no_log'))
        self.assertEqual(secret, set(util.SECRET_SETTINGS))


if __name__ == '__main__':
    unittest.main(verbosity=2)
