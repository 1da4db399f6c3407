#!/usr/bin/env python3
"""Scenarios from the command line, as a CI job runs them: the built program headless with
an example scenario and its expectations, the example's peer against it, the exit code, and
the JUnit and JSON reports it writes. Also the example files against their schemas.

    python3 tests/e2e/test_scenarios.py path/to/vantor-simulator
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from ports import free_port

PROGRAM = None
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples", "scenarios")


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


class Run:
    """The simulator headless as a TCP server in a folder of its own."""

    def __init__(self, work, *arguments, config_extra=""):
        self.port = free_port()
        self.config = os.path.join(work, "ZentrelConfig.ini")
        with open(self.config, "w") as f:
            f.write("[Comm]\nType=2\nLocalPort=%d\n%s" % (self.port, config_extra))
        self.process = subprocess.Popen([PROGRAM, "--headless", "--config", self.config, *arguments],
                                        env=environment(), stderr=subprocess.PIPE, text=True, cwd=work)

    def wait(self, timeout=60):
        try:
            _, self.stderr = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        return self.process.returncode


def peer(example, port, *extra):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, example + "_peer.py"), str(port), *extra],
                          capture_output=True, text=True, timeout=60)


def xmllint(path):
    return subprocess.run(["xmllint", "--noout", path], capture_output=True, text=True)


class Verdicts(unittest.TestCase):
    def run_example(self, example, *peer_extra, extra=()):
        work = tempfile.mkdtemp()
        junit, report = os.path.join(work, "report.xml"), os.path.join(work, "report.json")
        arguments = ["--scenario", os.path.join(EXAMPLES, example + ".json"), "--junit", junit,
                     "--report", report, "--until-verified", "--timeout", "30", *extra]
        expect = os.path.join(EXAMPLES, example + ".expect.json")
        if os.path.exists(expect):
            arguments += ["--expect", expect]
        sim = Run(work, *arguments)
        try:
            ran = peer(example, sim.port, *peer_extra)
        except BaseException:
            sim.process.kill()
            raise
        code = sim.wait()
        return code, ran, sim.stderr, junit, report

    def check_reports(self, junit, report, failures):
        self.assertEqual(xmllint(junit).returncode, 0, xmllint(junit).stderr)
        suites = ElementTree.parse(junit).getroot()
        suite = suites if suites.tag == "testsuite" else suites.find("testsuite")
        cases = suite.findall("testcase")
        self.assertEqual(int(suite.get("tests")), len(cases))
        self.assertEqual(int(suite.get("failures")), failures)
        failed = [c for c in cases if c.find("failure") is not None]
        self.assertEqual(len(failed), failures)
        for case in failed:
            self.assertTrue(case.find("failure").get("message"), "a failure says why")
        with open(report) as f:
            document = json.load(f)
        self.assertEqual(document["passed"], failures == 0)
        self.assertEqual(sum(1 for e in document["expectations"] if e["verdict"] == "failed"), failures)
        return cases

    def test_each_example_passes_with_its_peer(self):
        for example in ("login", "busy", "streaming"):
            with self.subTest(example=example):
                code, ran, stderr, junit, report = self.run_example(example)
                self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)
                self.assertEqual(code, 0, stderr)
                self.assertIn("expectations met", stderr)
                cases = self.check_reports(junit, report, failures=0)
                self.assertGreater(len(cases), 1)

    def test_a_failing_peer_fails_the_run_with_evidence(self):
        # The verdict is known at the first failure: the run ends there (the peer loses its link).
        code, ran, stderr, junit, report = self.run_example("login", "--bad")
        self.assertEqual(code, 1, stderr)
        self.assertIn("see the report", stderr)
        with open(report) as f:
            failures = sum(1 for e in json.load(f)["expectations"] if e["verdict"] == "failed")
        self.assertGreaterEqual(failures, 1)
        cases = self.check_reports(junit, report, failures=failures)
        failed = {c.get("name"): c.find("failure") for c in cases if c.find("failure") is not None}
        # The first to fail: a reading before the login, and the evidence names that frame.
        self.assertIn("logs in before it sends data", failed)
        self.assertIn("T=19", failed["logs in before it sends data"].text or "")

    def test_time_running_out_fails_what_still_waits(self):
        work = tempfile.mkdtemp()
        junit = os.path.join(work, "r.xml")
        sim = Run(work, "--scenario", os.path.join(EXAMPLES, "login.json"), "--expect",
                  os.path.join(EXAMPLES, "login.expect.json"), "--junit", junit, "--until-verified",
                  "--timeout", "1")
        self.assertEqual(sim.wait(), 1, sim.stderr)
        suite = ElementTree.parse(junit).getroot()
        suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
        self.assertGreater(int(suite.get("failures")), 0)

    def test_without_a_report_the_failures_are_told_on_stderr(self):
        work = tempfile.mkdtemp()
        sim = Run(work, "--scenario", os.path.join(EXAMPLES, "login.json"), "--expect",
                  os.path.join(EXAMPLES, "login.expect.json"), "--until-verified", "--timeout", "1")
        self.assertEqual(sim.wait(), 1, sim.stderr)
        self.assertNotIn("see the report", sim.stderr)
        failed = [line for line in sim.stderr.splitlines() if line.startswith("  ")]
        self.assertGreater(len(failed), 0, sim.stderr)
        self.assertTrue(all(": " in line for line in failed), sim.stderr)

    def test_bad_files_and_arguments_end_with_two(self):
        work = tempfile.mkdtemp()
        broken = os.path.join(work, "broken.json")
        with open(broken, "w") as f:
            f.write('{"states": ["a"], "rules": [{"type": "AB"}]}')
        login = os.path.join(EXAMPLES, "login.json")
        cases = {
            "a scenario that is not one": ["--scenario", broken],
            "a missing scenario": ["--scenario", os.path.join(work, "missing.json")],
            "missing expectations": ["--scenario", login, "--expect", os.path.join(work, "none.json")],
            "a report nobody may write": ["--scenario", login, "--junit", "/proc/nowhere/r.xml"],
            "a verdict without expectations": ["--junit", os.path.join(work, "r.xml")],
            "nothing to wait for": ["--scenario", os.path.join(EXAMPLES, "streaming.json"), "--until-verified"],
            "a time that is no time": ["--scenario", login, "--timeout", "soon"],
        }
        for name, arguments in cases.items():
            with self.subTest(name):
                sim = Run(work, *arguments)
                self.assertEqual(sim.wait(timeout=20), 2, sim.stderr)
                self.assertTrue(sim.stderr.strip(), "it says why")
        # A broken scenario is named with its place.
        sim = Run(work, "--scenario", broken)
        sim.wait(timeout=20)
        self.assertIn("broken.json", sim.stderr)

    def test_a_script_that_fails_is_reported_and_the_table_answers(self):
        work = tempfile.mkdtemp()
        with open(os.path.join(work, "hook.lua"), "w") as f:
            f.write("function on_message(msg)\n  if msg.text == 'loop' then while true do end end\n"
                    "  error('no ' .. msg.text)\nend\n")
        with open(os.path.join(work, "s.json"), "w") as f:
            json.dump({"name": "scripted", "states": ["a"], "script": "hook.lua", "rules": []}, f)
        log = os.path.join(work, "log.jsonl")
        sim = Run(work, "--scenario", os.path.join(work, "s.json"), "--log", log, "--timeout", "3",
                  config_extra="[Reply]\nType0=`A`\nMsg0=`table`\n")
        try:
            # The examples' own peer, as the example peers import it.
            sys.path.insert(0, EXAMPLES)
            import peer as example_peer
            link = example_peer.Link(sim.port)
            # An error leaves the script running; a loop is stopped and disables it.
            for text in ("x", "loop", "y"):
                self.assertEqual(link.request("A", text), (example_peer.ACK, "table"), text)
            link.close()
        finally:
            sim.wait()
        with open(log) as f:
            errors = [json.loads(line) for line in f if '"scenarioError"' in line]
        texts = [e.get("text", "") for e in errors]
        self.assertTrue(any(":2:" in t and "the script is disabled" in t for t in texts), texts)
        self.assertTrue(any("no x" in t for t in texts), texts)
        self.assertFalse(any("no y" in t for t in texts), texts)


class Schemas(unittest.TestCase):
    def test_the_examples_follow_their_schemas(self):
        import jsonschema
        with open(os.path.join(ROOT, "data", "scenario.schema.json")) as f:
            scenario_schema = json.load(f)
        with open(os.path.join(ROOT, "data", "expectations.schema.json")) as f:
            expectations_schema = json.load(f)
        # The expectations schema refers to the scenario's by its id: both from here, never the network.
        store = {scenario_schema["$id"]: scenario_schema, expectations_schema["$id"]: expectations_schema}
        checked = 0
        for name in sorted(os.listdir(EXAMPLES)):
            if not name.endswith(".json"):
                continue
            with open(os.path.join(EXAMPLES, name)) as f:
                document = json.load(f)
            schema = expectations_schema if name.endswith(".expect.json") else scenario_schema
            jsonschema.validate(document, schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store))
            checked += 1
        self.assertGreaterEqual(checked, 5)
        # The schemas are not a formality: a rule with a two-byte type is refused.
        with self.assertRaises(jsonschema.ValidationError):
            jsonschema.validate({"states": ["a"], "rules": [{"type": "AB"}]}, scenario_schema)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
