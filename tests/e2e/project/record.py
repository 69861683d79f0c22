# The test project's scripts note here how they were started: program,
# arguments, folder and the variables the tray program hands on, one file per
# script, and the order of all runs in "calls.log". Shared by the widget
# tests and the end-to-end test.
import os
import sys

ROOT = os.path.dirname(os.path.abspath(__file__))
RECORDS = os.path.join(ROOT, 'records')


def record(name):
    os.makedirs(RECORDS, exist_ok=True)
    lines = [
        'program=' + sys.executable,
        'args=' + ' | '.join(sys.argv),
        'cwd=' + os.getcwd(),
    ]
    for variable in ('HARLUNE_AUTH', 'HARLUNE_HOST', 'HARLUNE_PORT'):
        lines.append(variable + '=' + os.environ.get(variable, '(unset)'))
    with open(os.path.join(RECORDS, name + '.txt'), 'w', encoding='utf-8') as f:
        f.write('\n'.join(lines) + '\n')
    with open(os.path.join(RECORDS, 'calls.log'), 'a', encoding='utf-8') as f:
        f.write(name + '\n')
