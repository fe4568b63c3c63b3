# -*- coding: utf-8 -*-
# Shared by the aputil.ap modules: runs apctl with --json and turns its output
# into module results. Nothing here speaks to an AP itself.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import tempfile

# Settings whose values must never reach a result, a diff or a log line.
SECRET_SETTINGS = frozenset(('password', 'key1', 'key2', 'key3', 'key4'))
MASK = '********'

# apctl's exit statuses.
RC_DONE = 0
RC_AP_FAILED = 1
RC_USAGE = 2
RC_NO_ADAPTER = 3

# The settings suboptions, in the order apctl receives them. YAML names use
# underscores; apctl's own hyphenated names are accepted as aliases.
SETTINGS_OPTIONS = dict(
    ssid=dict(type='str'),
    channel=dict(type='int'),
    name=dict(type='str'),
    ip=dict(type='str'),
    mask=dict(type='str'),
    gateway=dict(type='str'),
    wep=dict(type='raw'),
    key1=dict(type='str', no_log=True),
    key2=dict(type='str', no_log=True),
    key3=dict(type='str', no_log=True),
    key4=dict(type='str', no_log=True),
    default_key=dict(type='int', aliases=['default-key']),
    mac_access=dict(type='bool', aliases=['mac-access']),
    mac_table=dict(type='list', elements='str', aliases=['mac-table']),
    mac_add=dict(type='list', elements='str', aliases=['mac-add']),
    mac_remove=dict(type='list', elements='str', aliases=['mac-remove']),
    password=dict(type='str', no_log=True),
)

# apctl's key for each suboption.
APCTL_KEYS = dict((name, name.replace('_', '-')) for name in SETTINGS_OPTIONS)


class SettingsError(ValueError):
    """A setting that cannot be handed to apctl as given."""


def _wep_text(value):
    # Unquoted YAML "off" arrives as False and "64" as an integer.
    if value is False or (isinstance(value, str) and value.strip().lower() == 'off'):
        return 'off'
    if isinstance(value, bool):
        raise SettingsError("wep: expected off, 64 or 128, got %r" % (value,))
    text = str(value).strip()
    if text in ('64', '128'):
        return text
    raise SettingsError("wep: expected off, 64 or 128, got %r" % (value,))


def setting_assignments(settings):
    """Returns [(apctl key, value text)] for the settings that were given.

    The new password is left out: apctl takes it only from a file (see
    Apctl.set_arguments)."""
    pairs = []
    for name in SETTINGS_OPTIONS:
        value = (settings or {}).get(name)
        if value is None or name == 'password':
            continue
        key = APCTL_KEYS[name]
        if name == 'wep':
            pairs.append((key, _wep_text(value)))
        elif name == 'mac_access':
            pairs.append((key, 'on' if value else 'off'))
        elif name == 'mac_table':
            pairs.append((key, ','.join(str(entry).strip() for entry in value)))
        elif name in ('mac_add', 'mac_remove'):
            pairs.extend((key, str(entry).strip()) for entry in value)
        else:
            pairs.append((key, str(value)))
    return pairs


class Apctl(object):
    """Runs apctl for a module. Passwords go to apctl through files only this
    user can read, removed right after the run: never on its command line,
    where every user of the host could read them."""

    def __init__(self, module, path=None, adapter=None):
        self.module = module
        self.path = path or module.get_bin_path('apctl', required=True)
        self.adapter = adapter

    def _secret_file(self, text):
        try:
            data = text.encode('ascii') + b'\n'
        except UnicodeEncodeError:
            self.module.fail_json(msg='passwords may hold printable ASCII characters only')
        fd, name = tempfile.mkstemp(prefix='apctl-', dir=self.module.tmpdir)
        try:
            os.fchmod(fd, 0o600)
            os.write(fd, data)
        finally:
            os.close(fd)
        return name

    def run(self, args, password=None, new_password=None, options=()):
        """Runs apctl OPTIONS ARGS with --json; returns (rc, parsed output or
        None, stderr). new_password is added as set's password key."""
        cmd = [self.path, '--json', '--quiet']
        if self.adapter:
            cmd += ['--adapter', self.adapter]
        cmd += list(options)
        files = []
        try:
            if password is not None:
                files.append(self._secret_file(password))
                cmd += ['--password-file', files[-1]]
            cmd += list(args)
            if new_password is not None:
                files.append(self._secret_file(new_password))
                cmd.append('password=@' + files[-1])
            # Backups hold the password and keys: private from their first byte.
            rc, out, err = self.module.run_command(cmd, umask=0o077)
        finally:
            for name in files:
                os.unlink(name)
        data = None
        if out.strip():
            try:
                data = json.loads(out)
            except ValueError:
                data = None
        if not isinstance(data, dict):
            data = None
        return rc, data, err.strip()

    def require(self, rc, data, err, what):
        """Ends the module when apctl refused the whole command (bad usage or
        value, no adapter, output that is not apctl's JSON); returns data."""
        if data is not None and rc in (RC_DONE, RC_AP_FAILED) and isinstance(data.get('results', []), list):
            return data
        message = (data or {}).get('error') or err or ('apctl exited with status %d' % rc)
        self.module.fail_json(msg='%s: %s' % (what, message), rc=rc)


def ap_label(result):
    """'02:5e:..:01 (SimAP-1)' for messages."""
    mac = result.get('ap') or '?'
    name = result.get('name')
    return '%s (%s)' % (mac, name) if name else mac
