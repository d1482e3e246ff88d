"""A host that serves requests on several threads with one shared checker.

One PromptBanChecker and one Framekit serve every thread; each request
checks its prompt, adjusts its image and computes the size to request.
Meanwhile the main thread reloads the checker with an extra word, which
the other threads may use at any moment: each check sees either the old
word list or the new one.

    python examples/request_threads.py photo.jpg other.webp ...
"""

from __future__ import annotations

import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from svcfault import PromptBanError

from kavira.framekit import Framekit
from kavira.tessel import TesselSizeCalculator
from kavira.wordgate import PromptBanChecker

CHECKER = PromptBanChecker()
FRAMEKIT = Framekit()


def handle(path: str, prompt: str) -> str:
    try:
        CHECKER.check(prompt)
    except PromptBanError as error:
        return f"{Path(path).name}: refused ({len(error.data)} banned words)"
    adjusted, ratio = FRAMEKIT.adjust_size(Path(path).read_bytes(), return_origin_ratio=True)
    size = TesselSizeCalculator.calc_size(ratio, "2k")
    return f"{Path(path).name}: {ratio}, {len(adjusted)} bytes of PNG, request {size['size']}"


def main(paths: list[str]) -> int:
    prompts = ["a red fox in snow", "a lighthouse at dawn"]
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = [pool.submit(handle, path, prompt) for path in paths for prompt in prompts]
        # A reload while others check: build the new list, then swap it in.
        CHECKER.builtin_words = ["lighthouse"]
        CHECKER.load_banned_words()
        for result in results:
            print(result.result())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
