"""The pytest plugin (`pytest --vexo`), registered as the entry point "pytest11"; written in
`vexo.integrations.pytest`."""

from vexo.integrations.pytest import pytest_addoption, pytest_configure, pytest_unconfigure

__all__ = ["pytest_addoption", "pytest_configure", "pytest_unconfigure"]
