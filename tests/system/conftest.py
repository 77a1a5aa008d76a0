"""Fixtures for the system tests: `sandbox` gives each test its own Sandbox (see sandbox.py)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import Sandbox  # noqa: E402


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


@pytest.fixture
def sandbox(request):
    """A fresh sandbox; torn down after the test, with diagnostics printed when it failed."""
    sb = Sandbox()
    try:
        yield sb
    finally:
        rep = getattr(request.node, "rep_call", None)
        if rep is not None and rep.failed:
            print("\n" + sb.diagnostics(), file=sys.stderr)
        sb.close()


@pytest.fixture
def sandbox_factory(request):
    """sandbox_factory(**kwargs) makes a Sandbox(**kwargs), torn down like `sandbox`."""
    made = []

    def make(**kwargs):
        sb = Sandbox(**kwargs)
        made.append(sb)
        return sb
    yield make
    rep = getattr(request.node, "rep_call", None)
    for sb in made:
        if rep is not None and rep.failed:
            print("\n" + sb.diagnostics(), file=sys.stderr)
        sb.close()
