# The test project's scripts note here how they were started: program,
# arguments, folder and the variables the tray program hands on, one file per
# script, and the order of all runs in "calls.log".
import os
import sys

ROOT = os.path.dirname(os.path.abspath(__file__))


def record(name, program=sys.executable, args=sys.argv):
    records = os.path.join(ROOT, 'records')
    os.makedirs(records, exist_ok=True)
    lines = ['program=' + program, 'args=' + ' | '.join(args), 'cwd=' + os.getcwd()]
    lines += [f'{v}={os.environ.get(v, "(unset)")}' for v in ('HARLUNE_AUTH', 'HARLUNE_HOST', 'HARLUNE_PORT')]
    with open(os.path.join(records, name + '.txt'), 'w', encoding='utf-8') as f:
        f.write('\n'.join(lines) + '\n')
    with open(os.path.join(records, 'calls.log'), 'a', encoding='utf-8') as f:
        f.write(name + '\n')


if __name__ == '__main__':  # for a shell script: name, its path, its arguments
    record(sys.argv[1], sys.argv[2], sys.argv[3:])
