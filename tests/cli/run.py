#!/usr/bin/env python3
"""Runs the command-line cases of qvx: one table, cases.txt, in one work folder.

usage: run.py CASES QVX [STUB32] [SHARED_DIR]

A case is a block of lines:

    == what the case checks
    @needs stub            skipped unless a PE32 stub is given (also: shared, built-in-stub,
                           wrestool; posix: skipped for qvx.exe, which DRAVEX_QVX_WINDOWS=1
                           announces; windows: run for qvx.exe only)
    $ shell command        one or more lines, run in order with bash -e
    ? 2                    the exit code expected (default 0)
    > text                 a line of stdout must hold text ('*' matches any run of characters)
    ! text                 the same for stderr
    >- text                no line of stdout may hold text ( !- for stderr )

Every case runs in the same work folder, so later cases use what earlier
ones made. The commands see QVX, STUB, SHARED and CLI (this folder), and the
helpers of helpers.sh; stdin is /dev/null unless the command redirects it.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def parse(path):
    cases, case = [], None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("== "):
                case = {"name": line[3:], "line": number, "needs": [], "script": [], "exit": 0, "expect": []}
                cases.append(case)
                continue
            if case is None:
                sys.exit(f"{path}:{number}: text before the first case")
            tag, _, rest = line.partition(" ")
            if tag == "$":
                case["script"].append(rest)
            elif tag == "?":
                case["exit"] = int(rest)
            elif tag == "@needs":
                case["needs"].append(rest.strip())
            elif tag in (">", "!", ">-", "!-"):
                case["expect"].append((tag, rest))
            else:
                sys.exit(f"{path}:{number}: unknown line {line!r}")
    return cases


def holds(pattern, text):
    regex = ".*".join(re.escape(part) for part in pattern.split("*"))
    return any(re.search(regex, line) for line in text.splitlines())


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cases_path = os.path.realpath(sys.argv[1])
    qvx = os.path.realpath(sys.argv[2])
    stub = os.path.realpath(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[3] else ""
    shared = sys.argv[4] if len(sys.argv) > 4 else ""
    here = os.path.dirname(cases_path)
    have = {
        "stub": bool(stub) and os.path.isfile(stub),
        "shared": bool(shared) and os.path.isdir(os.path.join(shared, "conformance")),
        "wrestool": shutil.which("wrestool") is not None,
        "posix": os.environ.get("DRAVEX_QVX_WINDOWS") != "1",
        "windows": os.environ.get("DRAVEX_QVX_WINDOWS") == "1",
    }
    env = dict(os.environ, QVX=qvx, STUB=stub, SHARED=shared, CLI=here, TZ="UTC", LC_ALL="C.UTF-8")
    work = tempfile.mkdtemp(prefix="qvx-cli-")
    passed = failed = skipped = 0
    try:
        for case in parse(cases_path):
            name = case["name"]
            missing = [n for n in case["needs"] if n != "built-in-stub" and not have.get(n, False)]
            if "built-in-stub" in case["needs"]:
                if "built-in-stub" not in have:
                    probe = subprocess.run([qvx, "a", "-f", "probe-builtin.exe", cases_path], cwd=work, env=env,
                                           capture_output=True, text=True)
                    have["built-in-stub"] = "without a stub" not in probe.stderr
                if not have["built-in-stub"]:
                    missing.append("built-in-stub")
            if missing:
                skipped += 1
                print(f"skipped: {name} (no {', '.join(missing)})")
                continue
            script = "source \"$CLI/helpers.sh\"\n" + "\n".join(case["script"])
            r = subprocess.run(["bash", "-e", "-c", script], cwd=work, env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, errors="replace", timeout=600)
            problems = []
            if r.returncode != case["exit"]:
                problems.append(f"exit {r.returncode}, expected {case['exit']}")
            for tag, pattern in case["expect"]:
                text = r.stdout if tag[0] == ">" else r.stderr
                where = "stdout" if tag[0] == ">" else "stderr"
                if tag.endswith("-") and holds(pattern, text):
                    problems.append(f"{where} holds {pattern!r}")
                elif not tag.endswith("-") and not holds(pattern, text):
                    problems.append(f"{where} lacks {pattern!r}")
            if problems:
                failed += 1
                print(f"FAILED: {name} (cases.txt:{case['line']}): " + "; ".join(problems))
                for label, text in (("stdout", r.stdout), ("stderr", r.stderr)):
                    for line in text.splitlines()[:20]:
                        print(f"    {label}: {line}")
            else:
                passed += 1
                print(f"ok: {name}")
    finally:
        subprocess.run(["chmod", "-R", "u+w", work])
        shutil.rmtree(work, ignore_errors=True)
    print(f"\ncli: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
