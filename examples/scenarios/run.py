#!/usr/bin/env python3
"""Runs one of the example scenarios the way a CI job would: the simulator headless as a
TCP server with the scenario and its expectations, and the example's peer against it.

    run.py login|busy|streaming [--bad] [--program PATH] [--junit FILE] [--report FILE]

Prints the simulator's verdict and exits with its code: 0 when every expectation passed,
1 when any failed or the time ran out. `--bad` runs the login peer that fails on purpose.
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("example", choices=["login", "busy", "streaming"])
    parser.add_argument("--bad", action="store_true")
    parser.add_argument("--program", default=os.path.join(HERE, "..", "..", "build", "release", "vantor-simulator"))
    parser.add_argument("--junit")
    parser.add_argument("--report")
    parser.add_argument("--timeout", type=int, default=30)
    args = parser.parse_args()

    port = free_port()
    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "ZentrelConfig.ini")
        with open(config, "w") as f:
            f.write("[Comm]\nType=2\nLocalPort=%d\n" % port)
        junit = args.junit or os.path.join(work, "report.xml")
        command = [args.program, "--headless", "--config", config,
                   "--scenario", os.path.join(HERE, args.example + ".json"),
                   "--junit", junit, "--until-verified", "--timeout", str(args.timeout)]
        expect = os.path.join(HERE, args.example + ".expect.json")
        if os.path.exists(expect):
            command += ["--expect", expect]
        if args.report:
            command += ["--report", args.report]
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        simulator = subprocess.Popen(command, env=env)
        peer = [sys.executable, os.path.join(HERE, args.example + "_peer.py"), str(port)]
        if args.bad:
            peer.append("--bad")
        peer_code = subprocess.call(peer)
        try:
            code = simulator.wait(timeout=args.timeout + 10)
        except subprocess.TimeoutExpired:
            simulator.kill()
            raise SystemExit("the simulator did not end")
        with open(junit) as f:
            print(f.read())
        print("peer exit %d, simulator exit %d" % (peer_code, code))
        return code


if __name__ == "__main__":
    sys.exit(main())
