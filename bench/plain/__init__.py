"""Plain-Python renderings of kavira's seven modules, one module file each.

Each file mirrors its native counterpart's module namespace, so a test can
patch the same globals on both and compare what they do.
"""
