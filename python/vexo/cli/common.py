"""What every command shares: its failure, its exit statuses, its settings and its messages."""

from __future__ import annotations

import argparse

from vexo.common.console import say as report
from vexo.config import ConfigError, Settings, load_settings

__all__ = ["EXIT_FAILURE", "EXIT_USAGE", "CommandError", "report", "settings_of"]

EXIT_FAILURE = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """A failure reported as one line on standard error, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def settings_of(options: argparse.Namespace) -> Settings:
    """The project's settings with the command's `--db` on top."""
    try:
        settings = load_settings()
        return settings.overridden(db_path=options.db)
    except ConfigError as error:
        raise CommandError(str(error)) from None
