#!/usr/bin/env python3
"""Ctrl+C typed at the console of ombrix-fwupdate.exe under Wine.

    console_keys_test.py WINE PROGRAM

The program runs on a pseudo-terminal, which Wine makes its console: a Ctrl+C
typed there reaches it as CTRL_C_EVENT. Standard output goes to a file (the
--json records, whole lines), standard error and input stay on the console.
Cases: a Ctrl+C while program asks ends it with "Nothing was done." (130); once
the run writes, one stops it at its next safe point, two end it at once, both
with the result record last (130). Each run has a deadline; one that misses it is
killed and the case fails with what it wrote.
"""
import fcntl
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import termios
import time

DEADLINE = 120
CTRL_C = b'\x03'


class ConsoleRun:
    def __init__(self, wine, program, arguments, output_path):
        self.master, slave = os.openpty()
        self.output_path = output_path
        with open(output_path, 'wb') as output:
            self.process = subprocess.Popen(
                [wine, program] + arguments, stdin=slave, stdout=output, stderr=slave,
                preexec_fn=lambda: (os.setsid(), fcntl.ioctl(0, termios.TIOCSCTTY, 0)))
        os.close(slave)
        self.console = b''
        self.deadline = time.monotonic() + DEADLINE

    def read_console(self):
        while select.select([self.master], [], [], 0)[0]:
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            if not data:
                return
            self.console += data

    def console_text(self):
        # Wine's console moves the cursor where a blank would go.
        text = self.console.replace(b'\x1b[1C', b' ')
        return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', text).replace(b'\r', b'').decode(errors='replace')

    def output(self):
        with open(self.output_path, 'rb') as output:
            return output.read().decode(errors='replace')

    def wait_for(self, text, where):
        while time.monotonic() < self.deadline and self.process.poll() is None:
            self.read_console()
            if text in (self.console_text() if where == 'console' else self.output()):
                return True
            time.sleep(0.05)
        return False

    def press(self, keys):
        os.write(self.master, keys)

    def finish(self):
        try:
            self.process.wait(timeout=max(self.deadline - time.monotonic(), 1))
            hung = False
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            hung = True
        time.sleep(0.2)
        self.read_console()
        os.close(self.master)
        return hung

    def described(self):
        return (f'exit status {self.process.returncode}\n--- console:\n{self.console_text()}\n'
                f'--- standard output:\n{self.output()}')


failures = []


def expect(condition, what, run):
    if not condition:
        failures.append(f'{what}\n{run.described()}')


def last_record(run):
    lines = [line for line in run.output().splitlines() if line.strip()]
    try:
        return json.loads(lines[-1]) if lines else {}
    except json.JSONDecodeError:
        return {}


def main():
    wine, program = sys.argv[1], sys.argv[2]
    folder = tempfile.mkdtemp(prefix='console-keys-')
    output_path = os.path.join(folder, 'out')

    asked = ConsoleRun(wine, program, ['program', '--simulate', '--speed-up', '0'], output_path)
    expect(asked.wait_for('Go ahead? [y/N]', 'console'), 'the question was not asked', asked)
    asked.press(CTRL_C)
    expect(not asked.finish(), 'Ctrl+C at the question: no end before the deadline', asked)
    expect(asked.process.returncode == 130, 'Ctrl+C at the question: not status 130', asked)
    expect('Nothing was done.' in asked.console_text(), 'Ctrl+C at the question: not "Nothing was done."', asked)

    # Once writing has begun the first stop waits for the flash operation in
    # progress, which takes seconds: time for the second to come.
    for presses, said in ((1, 'Stopping at the next point that a later run repairs'),
                          (2, 'Ended at once: the instrument may be left unusable')):
        run = ConsoleRun(wine, program, ['program', '--simulate', '--speed-up', '4', '--yes', '--json'], output_path)
        expect(run.wait_for('"type":"notice"', 'output'), 'the run did not begin to write', run)
        for _ in range(presses):
            run.press(CTRL_C)
            time.sleep(0.2)
        what = f'{presses} Ctrl+C during the run'
        expect(not run.finish(), f'{what}: no end before the deadline', run)
        expect(run.process.returncode == 130, f'{what}: not status 130', run)
        expect(said in run.console_text(), f'{what}: "{said}" not said', run)
        result = last_record(run)
        expect(result.get('type') == 'result' and result.get('exit_status') == 130 and
               result.get('interrupted') is True, f'{what}: the last record is not the result of the stop', run)

    for failure in failures:
        print('FAILED:', failure, sep='\n')
    print(f'console keys: {len(failures)} expectation(s) failed' if failures else 'console keys: 3 cases passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
