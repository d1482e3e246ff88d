"""Plain-Python renderings of kavira's modules, used as benchmark baselines.

The renderings live one module each in bench/plain/, so that a test can
patch a plain module's globals exactly like the native module's; this file
only gathers the names bench/run.py uses.
"""

from plain.aspectra import ImageAspectra
from plain.framekit import Framekit
from plain.lumen import LumenImageScale
from plain.resize import image_resize
from plain.tessel import TesselSizeCalculator
from plain.wordgate import PromptBanChecker, _load_default_words, _xor

__all__ = ["Framekit", "ImageAspectra", "LumenImageScale", "PromptBanChecker", "TesselSizeCalculator",
           "_load_default_words", "_xor", "image_resize"]
