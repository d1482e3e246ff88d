# The benchmark's floor extension; scripts/bench.sh installs it into the venv.
from setuptools import Extension, setup

setup(
    name="kavira-benchfloor",
    version="1",
    ext_modules=[
        Extension("benchfloor", ["floor.cpp"], language="c++",
                  extra_compile_args=["-std=c++17", "-O3", "-Wall", "-Wextra"]),
    ],
)
