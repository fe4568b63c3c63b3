#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: ap_info
short_description: List the access points on the host's Ethernet segment and read their settings
description:
  - Browses every usable adapter of the host (or one) with C(apctl browse) and returns the access points that answer.
  - Given I(ap) and I(password), also logs in to those access points with C(apctl show) and returns their settings.
    WEP key bytes are never read out.
  - Access points are reached at layer 2 only, so run the task on a host of the segment. apctl reaches the wire there
    through its packet helper, or as root without it.
  - Changes nothing on the access points.
version_added: "1.8.1"
options:
  adapter:
    description: Browse and reach access points on this network interface only.
    type: str
  all_models:
    description: Browse without the model filter, so that other models of the product answer too.
    type: bool
    default: false
  ap:
    description:
      - Access points to read - a MAC address, an AP name as the browse shows it, or C(all).
      - Needs I(password).
    type: str
  password:
    description: Login password of the access points named by I(ap). Passed to apctl in a private file.
    type: str
  apctl:
    description: Path of the apctl program; by default it is looked up in the PATH.
    type: path
requirements:
  - apctl on the managed host
author:
  - aputil developers
'''

EXAMPLES = r'''
- name: The access points of this site
  aputil.ap.ap_info:
  register: site

- name: Every setting of every access point
  aputil.ap.ap_info:
    ap: all
    password: "{{ ap_password }}"
  register: site

- name: The SSIDs
  ansible.builtin.debug:
    msg: "{{ site.details | map(attribute='settings.ssid') | list }}"
'''

RETURN = r'''
aps:
  description: The access points that answered the browse, in MAC order.
  returned: always
  type: list
  elements: dict
  contains:
    mac:
      description: MAC address, lower case C(xx:xx:xx:xx:xx:xx).
      type: str
      sample: "02:5e:00:00:00:01"
    name:
      description: AP name.
      type: str
      sample: SimAP-1
    vendor:
      description: Vendor text of the browse reply.
      type: str
    product:
      description: Product text of the browse reply.
      type: str
    model:
      description: Model text of the browse reply.
      type: str
    adapter:
      description: The host's interface the access point answered on.
      type: str
      sample: eth0
details:
  description: With I(ap), one element per access point read, in the order apctl read them.
  returned: when I(ap) is given
  type: list
  elements: dict
  contains:
    ap:
      description: MAC address.
      type: str
    name:
      description: AP name.
      type: str
    ok:
      description: Whether the access point was read.
      type: bool
    error:
      description: apctl's message when it could not be read, else null.
      type: str
    settings:
      description:
        - The settings as C(apctl show) gives them (name, ssid, channel, allowed_channels, ip, mask, gateway,
          regulatory_domain, wep, default_key, mac_access, mac_table, firmware_version, firmware_date, crc_valid);
          null for an access point that could not be read. Never the key bytes.
      type: dict
      sample: {"ssid": "lab", "channel": 6, "wep": "64", "default_key": 1, "crc_valid": true}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.aputil.ap.plugins.module_utils.apctl import Apctl, ap_label

ARGUMENTS = dict(
    adapter=dict(type='str'),
    all_models=dict(type='bool', default=False),
    ap=dict(type='str'),
    password=dict(type='str', no_log=True),
    apctl=dict(type='path'),
)


def main():
    module = AnsibleModule(argument_spec=ARGUMENTS, required_by=dict(ap='password'), supports_check_mode=True)
    params = module.params
    apctl = Apctl(module, params['apctl'], params['adapter'])
    models = ['--all-models'] if params['all_models'] else []

    rc, data, err = apctl.run(['browse'], options=models)
    if rc != 0 or data is None or not isinstance(data.get('aps'), list):
        apctl.require(rc, None, (data or {}).get('error') or err, 'browse')
    result = dict(changed=False, aps=data['aps'])

    if params['ap']:
        rc, data, err = apctl.run(['show', params['ap']], params['password'], options=['--keep-going'] + models)
        data = apctl.require(rc, data, err, 'ap %s' % params['ap'])
        details = data['results']
        for entry in details:
            if isinstance(entry.get('settings'), dict):
                # Never pass key bytes on, whatever apctl was built to print.
                entry['settings'].pop('keys', None)
        result['details'] = details
        failed = [entry for entry in details if not entry.get('ok')]
        if failed:
            module.fail_json(msg='; '.join('%s: %s' % (ap_label(e), e.get('error') or 'failed') for e in failed),
                             **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
