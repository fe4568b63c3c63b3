#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: ap_config
short_description: Change the settings of access points on the host's Ethernet segment
description:
  - Sets SSID, channel, name, addresses, WEP and the MAC access table of one access point, or of every access point
    that answers on the host's segment, through C(apctl set).
  - An image is written only when a setting differs from what the access point holds, so a second run with the same
    settings reports C(ok) and writes nothing. After writing, apctl reads the image back and compares it.
  - Access points are reached at layer 2 only, so run the task on a host of the segment (one host per site in the
    inventory, or C(delegate_to)). apctl reaches the wire there through its packet helper, or as root without it.
  - Passwords reach apctl through files only the task's user can read, never on its command line.
version_added: "1.8.1"
options:
  ap:
    description:
      - The access point - a MAC address (C(02-5e-00-00-00-01) or C(02:5e:00:00:00:01)), an AP name as the browse
        shows it, or C(all) for every access point that answers.
    type: str
    required: true
  password:
    description:
      - Login password of the access points (the same for all of one task).
    type: str
    required: true
  settings:
    description:
      - The settings to make; only the ones given are changed. Names are those of C(apctl set); the hyphenated forms
        (C(default-key), C(mac-access), C(mac-table), C(mac-add), C(mac-remove)) are accepted as aliases.
      - Every value is checked by apctl before any access point is contacted; one bad value fails the task and
        nothing is sent.
    type: dict
    required: true
    suboptions:
      ssid:
        description: SSID, 1 to 32 printable ASCII characters.
        type: str
      channel:
        description: Radio channel, one of the channels the access point allows.
        type: int
      name:
        description: Access point name, 1 to 79 bytes.
        type: str
      ip:
        description: IP address, C(a.b.c.d).
        type: str
      mask:
        description: Subnet mask, C(a.b.c.d).
        type: str
      gateway:
        description: Default gateway, C(a.b.c.d).
        type: str
      wep:
        description: WEP mode, C(off), C(64) or C(128) (an unquoted YAML C(off) is understood).
        type: raw
      key1:
        description:
          - WEP key 1. 64-bit - 5 ASCII characters or 10 hex digits; 128-bit - 13 ASCII characters or 26 hex digits.
          - Never shown in results or the diff. Note that apctl takes key values as arguments.
        type: str
      key2:
        description: WEP key 2, as C(key1).
        type: str
      key3:
        description: WEP key 3, as C(key1).
        type: str
      key4:
        description: WEP key 4, as C(key1).
        type: str
      default_key:
        description: The WEP key in use, 1 to 4.
        type: int
        aliases: [default-key]
      mac_access:
        description: MAC access control on or off; off keeps the table for later.
        type: bool
        aliases: [mac-access]
      mac_table:
        description: The whole MAC access table (at most 32 addresses C(xx:xx:xx:xx:xx:xx)); an empty list empties it.
        type: list
        elements: str
        aliases: [mac-table]
      mac_add:
        description: Addresses to add to the MAC access table.
        type: list
        elements: str
        aliases: [mac-add]
      mac_remove:
        description: Addresses to remove from the MAC access table.
        type: list
        elements: str
        aliases: [mac-remove]
      password:
        description: New login password, 1 to 40 printable ASCII characters. Never shown in results or the diff.
        type: str
  keep_going:
    description:
      - With several access points, go on with the others after one fails. The task fails either way when any
        access point failed, naming each.
    type: bool
    default: false
  backup_dir:
    description:
      - Before writing, keep a backup (C(apctl backup)) of each access point whose image is about to change, in a new
        folder of this directory named after the time of the run, C(MAC.apbak) per access point. Earlier backups are
        never overwritten. The folder and files are readable by the task's user only, as an image holds the
        password and the WEP keys.
      - An access point whose backup fails is not changed. Check mode makes no backup.
    type: path
  adapter:
    description: Browse and reach access points on this network interface only.
    type: str
  apctl:
    description: Path of the apctl program; by default it is looked up in the PATH.
    type: path
notes:
  - Check mode runs C(apctl set --check) - the access points are read, nothing is sent to change them.
  - Diff mode shows each changed field per access point; passwords and keys appear as a mask.
requirements:
  - apctl on the managed host
author:
  - aputil developers
'''

EXAMPLES = r'''
- name: One SSID on every access point of the site, with a backup first
  aputil.ap.ap_config:
    ap: all
    password: "{{ ap_password }}"
    settings:
      ssid: office
    backup_dir: /var/backups/aputil
    keep_going: true

- name: WEP 128 with key 1 on one access point
  aputil.ap.ap_config:
    ap: 02:5e:00:00:00:01
    password: "{{ ap_password }}"
    settings:
      wep: 128
      key1: "{{ wep_key }}"
      default-key: 1

- name: Only these stations may associate
  aputil.ap.ap_config:
    ap: SimAP-1
    password: "{{ ap_password }}"
    settings:
      mac-access: on
      mac-table: ["00:11:22:33:44:55", "00:11:22:33:44:66"]
'''

RETURN = r'''
aps:
  description: One element per access point handled, in the order apctl handled them.
  returned: always
  type: list
  elements: dict
  contains:
    mac:
      description: MAC address, lower case C(xx:xx:xx:xx:xx:xx).
      type: str
      sample: "02:5e:00:00:00:01"
    name:
      description: AP name at the start of the task.
      type: str
      sample: SimAP-1
    ok:
      description: Whether this access point succeeded.
      type: bool
    error:
      description: apctl's message when it failed, else null.
      type: str
    changed:
      description: Whether an image was written and committed.
      type: bool
    verified:
      description: Whether the image read back matched what was written (true when nothing had to be written).
      type: bool
    changes:
      description: The fields that differ, each with C(before) and C(after) in C(apctl show)'s forms; passwords and
        keys as a mask.
      type: dict
      sample: {"ssid": {"before": "lab", "after": "office"}}
    backup:
      description: The backup file written before the change, when I(backup_dir) was given.
      type: str
      sample: /var/backups/aputil/20261210T113000Z/02-5e-00-00-00-01.apbak
backup_folder:
  description: The folder of this run's backups, when any was written.
  returned: when a backup was written
  type: str
  sample: /var/backups/aputil/20261210T113000Z
'''

import os
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.aputil.ap.plugins.module_utils.apctl import (
    Apctl, MASK, RC_AP_FAILED, SETTINGS_OPTIONS, SECRET_SETTINGS, SettingsError, ap_label, setting_assignments)

ARGUMENTS = dict(
    ap=dict(type='str', required=True),
    password=dict(type='str', required=True, no_log=True),
    settings=dict(type='dict', required=True, options=SETTINGS_OPTIONS),
    keep_going=dict(type='bool', default=False),
    backup_dir=dict(type='path'),
    adapter=dict(type='str'),
    apctl=dict(type='path'),
)


def ap_record(result):
    changes = {}
    for change in result.get('changes') or []:
        field = change.get('field')
        if field in SECRET_SETTINGS:
            changes[field] = dict(before=MASK, after=MASK)
        else:
            changes[field] = dict(before=change.get('from'), after=change.get('to'))
    return dict(mac=result.get('ap'), name=result.get('name'), ok=bool(result.get('ok')), error=result.get('error'),
                changed=bool(result.get('written')), verified=bool(result.get('verified')), changes=changes)


def diff_entry(record):
    label = ap_label(dict(ap=record['mac'], name=record['name']))
    before = []
    after = []
    for field, change in record['changes'].items():
        before.append('%s: %s\n' % (field, change['before']))
        after.append('%s: %s\n' % (field, change['after'] if field not in SECRET_SETTINGS else MASK + ' (new)'))
    return dict(before_header=label, after_header=label, before=''.join(before), after=''.join(after))


def dash_mac(mac):
    return mac.replace(':', '-')


def main():
    module = AnsibleModule(argument_spec=ARGUMENTS, supports_check_mode=True)
    params = module.params
    settings = params['settings']
    try:
        assignments = ['%s=%s' % pair for pair in setting_assignments(settings)]
    except SettingsError as e:
        module.fail_json(msg='%s: %s' % (params['ap'], e))
    new_password = settings.get('password')
    if not assignments and new_password is None:
        module.fail_json(msg='settings: give at least one setting')

    apctl = Apctl(module, params['apctl'], params['adapter'])
    password = params['password']
    going = ['--keep-going'] if params['keep_going'] else []

    def run_set(targets, check):
        rc, data, err = apctl.run(['set'] + targets + assignments, password, new_password,
                                  going + (['--check'] if check else []))
        data = apctl.require(rc, data, err, 'ap %s' % params['ap'])
        return rc, [ap_record(result) for result in data['results']]

    backups = {}
    backup_folder = None
    if module.check_mode or not params['backup_dir']:
        rc, records = run_set([params['ap']], module.check_mode)
        failed = [r for r in records if not r['ok']]
    else:
        # Only the access points that will change are backed up, each into this
        # run's own folder, so a rerun never replaces the backup of the
        # original image with one of the already changed image.
        rc, planned = run_set([params['ap']], True)
        failed = [r for r in planned if not r['ok']]
        todo = [r for r in planned if r['ok'] and r['changes']]
        by_mac = dict((r['mac'], r) for r in planned)
        if failed and not params['keep_going']:
            todo = []
        if todo:
            stamp = time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())
            backup_folder = os.path.join(params['backup_dir'], stamp)
            suffix = 1
            while os.path.exists(backup_folder):
                suffix += 1
                backup_folder = os.path.join(params['backup_dir'], '%s-%d' % (stamp, suffix))
            os.makedirs(backup_folder, 0o700)
            os.chmod(backup_folder, 0o700)
        backed_up = []
        if todo:
            # One run for all: apctl names each AP's file after its MAC when
            # given a folder.
            target = backup_folder
            if len(todo) == 1:
                target = os.path.join(backup_folder, dash_mac(todo[0]['mac']) + '.apbak')
            brc, bdata, berr = apctl.run(['backup'] + [r['mac'] for r in todo] + [target], password, options=going)
            bresults = dict((b.get('ap'), b) for b in (bdata or {}).get('results') or [])
            for record in todo:
                done = bresults.get(record['mac']) or {}
                path = done.get('file')
                if done.get('ok') and path and os.path.isfile(path):
                    os.chmod(path, 0o600)
                    backups[record['mac']] = path
                    backed_up.append(record['mac'])
                    continue
                message = done.get('error') or (bdata or {}).get('error') or berr or 'apctl status %d' % brc
                record.update(ok=False, error='backup failed, not changed: %s' % message)
                if not params['keep_going']:
                    backed_up = []
                    break
        if backup_folder and not backups and not os.listdir(backup_folder):
            os.rmdir(backup_folder)
        written = set()
        if backed_up:
            rc, records = run_set(backed_up, False)
            for record in records:
                by_mac[record['mac']] = record
                written.add(record['mac'])
        records = list(by_mac.values())
        for record in records:
            if record['mac'] not in written:
                # Planned but never handed to apctl (a failure stopped the run).
                record['changes'] = {}
        failed = [r for r in records if not r['ok']]

    for record in records:
        if record['mac'] in backups:
            record['backup'] = backups[record['mac']]
        else:
            record['backup'] = None

    if not records:
        # A play over many sites should not pass quietly where nothing answered.
        module.warn('no access point answered on this host; nothing was set')
    if module.check_mode:
        changed = any(r['ok'] and r['changes'] for r in records)
    else:
        changed = any(r['changed'] for r in records)
    result = dict(changed=changed, aps=records)
    if backup_folder and backups:
        result['backup_folder'] = backup_folder
    if module._diff:
        result['diff'] = [diff_entry(r) for r in records if r['changes'] and (r['changed'] or module.check_mode)]
    if failed or rc == RC_AP_FAILED:
        if not failed:
            failed = [r for r in records if not r['ok']]
        reasons = '; '.join('%s: %s' % (ap_label(dict(ap=r['mac'], name=r['name'])), r['error'] or 'failed')
                            for r in failed) or 'apctl reported a failed access point'
        module.fail_json(msg=reasons, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
