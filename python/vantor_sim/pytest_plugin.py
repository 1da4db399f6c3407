"""The pytest fixture `vantor_sim`: a headless simulator started for the test and ended after
it. The program: --vantor-simulator PATH, else $VANTOR_SIMULATOR, else vantor-simulator."""

import os

import pytest

from .client import Simulator


def pytest_addoption(parser):
    parser.addoption("--vantor-simulator", default=None, help="the vantor-simulator program to start")


@pytest.fixture
def vantor_sim(request):
    program = (request.config.getoption("--vantor-simulator") or os.environ.get("VANTOR_SIMULATOR")
               or "vantor-simulator")
    with Simulator(program) as sim:
        yield sim
