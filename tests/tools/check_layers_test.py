"""The layer check against small trees of its own: it must refuse an include
that reaches a folder the including folder does not link, directly or through
a nested backend folder, and pass a tree whose includes all go down. Within a
folder it must refuse units (foo.h with foo.cpp) that include each other in a
circle, and name each circle once; a source without a header of its own
counts as a file of the unit whose header declares what it defines."""
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


class FileCycles(unittest.TestCase):
    def test_two_units_that_include_each_other_fail(self):
        status, errors, stamped = run_check({
            'sequence/worker.h': '#pragma once\n',
            'sequence/worker.cpp': '#include "sequence/worker.h"\n#include "sequence/phase.h"\n',
            'sequence/phase.h': '#pragma once\n',
            'sequence/phase.cpp': '#include "sequence/phase.h"\n#include "sequence/worker.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertFalse(stamped)
        self.assertEqual(errors,
                         'layer check: file cycle in sequence: phase -> worker -> phase\n')

    def test_a_chain_of_units_each_with_its_own_header_passes(self):
        status, errors, stamped = run_check({
            'sequence/worker.h': '#include "sequence/phase.h"\n',
            'sequence/worker.cpp': '#include "sequence/worker.h"\n#include "sequence/report.h"\n',
            'sequence/phase.h': '#include "sequence/report.h"\n',
            'sequence/phase.cpp': '#include "sequence/phase.h"\n',
            'sequence/report.h': '#pragma once\n',
            'sequence/report.cpp': '#include "sequence/report.h"\n',
        })
        self.assertEqual((status, errors, stamped), (0, '', True))

    def test_a_cycle_of_three_is_named_once_from_its_first_unit(self):
        status, errors, _ = run_check({
            'device/libusb/api.cpp': '#include "device/libusb/discovery.h"\n',
            'device/libusb/discovery.h': '',
            'device/libusb/discovery.cpp': '#include "device/libusb/backend.h"\n',
            'device/libusb/backend.h': '',
            'device/libusb/backend.cpp': '#include "device/libusb/context.h"\n',
            'device/libusb/context.h': '#include "device/libusb/discovery.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertEqual(errors, 'layer check: file cycle in device/libusb: '
                                 'backend -> context -> discovery -> backend\n')

    def test_units_of_different_folders_are_not_a_file_cycle(self):
        status, errors, _ = run_check({
            'device/usb.h': '#pragma once\n',
            'device/usb.cpp': '#include "device/libusb/backend.h"\n',
            'device/libusb/backend.h': '#include "device/usb.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertNotIn('file cycle', errors)

    def test_a_source_without_a_header_joins_the_unit_that_declares_its_function(self):
        # phase.cpp defines check_phase, which worker.h declares: its include of
        # report.h is the worker's, and report.cpp includes the worker back.
        # Its helper in the anonymous namespace, also declared by report.h,
        # does not count.
        status, errors, _ = run_check({
            'sequence/worker.h': 'bool check_phase(int device);\nint worker();\n',
            'sequence/worker.cpp': '#include "sequence/worker.h"\n'
                                   'int worker() { return check_phase(0) ? 0 : 1; }\n',
            'sequence/phase.cpp': '#include "sequence/report.h"\n#include "sequence/worker.h"\n'
                                  'namespace {\nvoid report_line(int line) { report(line); }\n}\n'
                                  'bool check_phase(int device)\n{\n'
                                  '    report_line(device);\n    return true;\n}\n',
            'sequence/report.h': 'void report(int line);\nvoid report_line(int line);\n',
            'sequence/report.cpp': '#include "sequence/report.h"\n#include "sequence/worker.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertEqual(errors,
                         'layer check: file cycle in sequence: report -> worker -> report\n')

    def test_a_member_definition_joins_the_header_that_defines_its_struct(self):
        # chip.h names a free erase() and declares struct Sector without
        # defining it: Sector::erase still belongs to sector.h.
        status, errors, _ = run_check({
            'flash/sector.h': 'struct Sector {\n    int erase(int address);\n};\n',
            'flash/sector_erase.cpp': '#include "flash/sector.h"\n#include "flash/chip.h"\n'
                                      'int Sector::erase(int address) { return wait(address); }\n',
            'flash/chip.h': 'struct Sector;\nint erase(int address);\nint wait(int address);\n',
            'flash/chip.cpp': '#include "flash/chip.h"\n#include "flash/sector.h"\n',
        })
        self.assertEqual(status, 1)
        self.assertEqual(errors, 'layer check: file cycle in flash: chip -> sector -> chip\n')


if __name__ == '__main__':
    unittest.main()
