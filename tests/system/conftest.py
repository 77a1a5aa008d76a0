"""Fixtures for the system tests: `sandbox` gives each test its own Sandbox (see sandbox.py)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sandbox import Sandbox  # noqa: E402


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test (or set-up) reports the diagnostics of its sandboxes, taken while they run."""
    outcome = yield
    rep = outcome.get_result()
    if rep.failed and rep.when in ("setup", "call"):
        for sb in getattr(item, "vel_sandboxes", ()):
            rep.sections.append((f"sandbox {sb.label}", sb.diagnostics()))


@pytest.fixture
def sandbox(request):
    """A fresh sandbox; torn down after the test, with diagnostics reported when it failed."""
    sb = Sandbox()
    request.node.__dict__.setdefault("vel_sandboxes", []).append(sb)
    try:
        yield sb
    finally:
        sb.close()


@pytest.fixture
def sandbox_factory(request):
    """sandbox_factory(**kwargs) makes a Sandbox(**kwargs), torn down like `sandbox`."""
    made = []

    def make(**kwargs):
        sb = Sandbox(**kwargs)
        made.append(sb)
        request.node.__dict__.setdefault("vel_sandboxes", []).append(sb)
        return sb
    yield make
    for sb in made:
        sb.close()
