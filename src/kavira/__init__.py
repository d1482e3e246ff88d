"""kavira: native helpers a host uses while preparing image-generation requests.

The modules are imported one by one (``kavira.framekit``, ``kavira.aspectra``,
``kavira.tessel``, ``kavira.lumen``, ``kavira.resize``, ``kavira.wordgate``);
this package imports none of them, so one that fails to import leaves the
others usable.
"""

__version__ = "0.1.0"
