"""Stand-in for the host's ``svcfault`` module.

The host application owns the real module; kavira only calls these two
exception classes with the arguments below and raises the result.
"""

from typing import Any, Optional

__all__ = ["ServiceError", "PromptBanError"]


class ServiceError(Exception):
    """A request that the outside service would refuse."""

    def __init__(self, message: str, aspect_ratio: Optional[str] = None) -> None:
        super().__init__(message)
        self.message = message
        self.aspect_ratio = aspect_ratio

    def __str__(self) -> str:
        if self.aspect_ratio is None:
            return self.message
        return f"{self.message} (aspect_ratio={self.aspect_ratio!r})"


class PromptBanError(Exception):
    """A prompt that holds banned words."""

    def __init__(self, error_msg: str = "", data: Any = None) -> None:
        super().__init__(error_msg)
        self.error_msg = error_msg
        self.data = data

    def __str__(self) -> str:
        return self.error_msg
