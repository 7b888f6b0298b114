'''PackageKit's daemon, as a python3-dbusmock template.

CreateTransaction hands out a new transaction object; each transaction method answers
at once and then plays the script set for it, the way the daemon does: Package...,
ErrorCode, Finished, Destroy. A script is JSON: {"packages": [[info, id], ...],
"error": [code, details] or null, "exit": n, "hang": b, "vanish": b}; the parameter
"scripts" maps method names to scripts, and SetScript changes one. A successful
UpdatePackages takes what it installed out of GetUpdates' answer. Every call is printed
on stdout as "<time> CALL Method <its arguments as GVariant text>".
'''

import json
import os
import time

import dbus
from dbusmock import MOCK_IFACE, mockobject
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.PackageKit'
MAIN_OBJ = '/org/freedesktop/PackageKit'
MAIN_IFACE = 'org.freedesktop.PackageKit'
SYSTEM_BUS = True
TRANSACTION = 'org.freedesktop.PackageKit.Transaction'

# name: (D-Bus signature, how its arguments become GVariant values)
METHODS = {
    'SetHints': ('as', lambda a: ([str(s) for s in a[0]],)),
    'RefreshCache': ('b', lambda a: (bool(a[0]),)),
    'GetUpdates': ('t', lambda a: (int(a[0]),)),
    'UpdatePackages': ('tas', lambda a: (int(a[0]), [str(s) for s in a[1]])),
    'Cancel': ('', lambda a: ()),
}


def say(method, signature, values):
    text = GLib.Variant('(' + signature + ')', values).print_(False)
    os.write(1, f'{time.time():.3f} CALL {method} {text}\n'.encode('UTF-8'))


def load(mock, parameters):
    mock.scripts = (parameters or {}).get('scripts', {})
    mock.created = 0
    mock.AddMethod(MAIN_IFACE, 'CreateTransaction', '', 'o', create_transaction)


def create_transaction(mock):
    mock.created += 1
    path = f'/{mock.created}_fake'
    say('CreateTransaction', '', ())
    mock.AddObject(path, TRANSACTION, {}, [])
    transaction = mockobject.objects[path]
    for name, (signature, values) in METHODS.items():
        transaction.AddMethod(TRANSACTION, name, signature, '',
                              lambda obj, *args, name=name: call(mock, obj, name, args))
    return dbus.ObjectPath(path)


def call(mock, transaction, method, args):
    signature, values = METHODS[method]
    say(method, signature, values(args))
    script = mock.scripts.get(method, {}) if method not in ('SetHints', 'Cancel') else None
    if script is None:
        return
    succeeds = script.get('exit', 1) == 1 and not script.get('hang') and not script.get('vanish')
    if method == 'UpdatePackages' and succeeds:
        offered = mock.scripts.get('GetUpdates', {}).get('packages', [])
        offered[:] = [p for p in offered if p[1] not in args[1]]
    # After the reply, as the daemon does.
    GLib.idle_add(play, mock, transaction, script)


def play(mock, transaction, script):
    def emit(name, signature, args):
        transaction.EmitSignal(TRANSACTION, name, signature, args)

    for info, package in script.get('packages', []):
        emit('Package', 'uss', [dbus.UInt32(info), package, 'summary'])
    if script.get('vanish'):
        mock.connection.flush()
        os._exit(0)
    if not script.get('hang'):
        if script.get('error'):
            code, details = script['error']
            emit('ErrorCode', 'us', [dbus.UInt32(code), details])
        emit('Finished', 'uu', [dbus.UInt32(script.get('exit', 1)), dbus.UInt32(10)])
        emit('Destroy', '', [])
    return False


@dbus.service.method(MOCK_IFACE, in_signature='ss')
def SetScript(self, method, script):
    self.scripts[method] = json.loads(script)
