"""The layer check against small trees of its own: it must refuse an include
that reaches a folder the including folder does not link, directly or through
a nested backend folder, and pass a tree whose includes all go down."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(__file__), '..', '..', 'tools', 'check_layers.py')
LAYERS = ['window=', 'device=', 'device/libusb=device', 'flash=device,window',
          'sequence=flash']


def run_check(files):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), 'w') as out:
                out.write(text)
        stamp = os.path.join(root, 'stamp')
        result = subprocess.run([sys.executable, CHECK, root, stamp, *LAYERS],
                                capture_output=True, text=True)
        return result.returncode, result.stderr, os.path.exists(stamp)


class LayerCheck(unittest.TestCase):
    def test_includes_that_go_down_pass_and_leave_the_stamp(self):
        status, errors, stamped = run_check({
            'sequence/worker.cpp': '#include "flash/op.h"\n#include "device/usb.h"\n',
            'flash/op.h': '#include "window/log.h"\n#include <vector>\n',
            'device/libusb/backend.cpp': '#include "device/usb.h"\n',
        })
        self.assertEqual((status, errors, stamped), (0, '', True))

    def test_an_include_of_a_higher_layer_fails_and_names_the_file(self):
        status, errors, stamped = run_check({
            'flash/op.h': '#include "sequence/worker.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertFalse(stamped)
        self.assertIn('flash/op.h: includes sequence/worker.h, but flash does not link sequence',
                      errors)

    def test_the_core_may_not_reach_into_a_backend_below_its_own_folder(self):
        status, errors, _ = run_check({
            'device/usb.cpp': '#include "device/libusb/backend.h"\n',
            'window/log.cpp': '  #  include "device/usb.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertIn('device/usb.cpp: includes device/libusb/backend.h', errors)
        self.assertIn('window/log.cpp: includes device/usb.h', errors)


if __name__ == '__main__':
    unittest.main()
