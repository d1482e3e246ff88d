"""Prints one line per fixed input: what the installed kavira makes of it,
hashed. Builds by different compilers, or on the portable path, must print
the same lines (scripts/check-builds.sh compares them)."""

import hashlib
import io
import random

from PIL import Image, ImageDraw

from kavira import aspectra, framekit, lumen, resize, tessel


def photo_like(width, height, seed):
    """Gradients, shapes and noise, so that every PNG filter wins some rows."""
    rng = random.Random(seed)
    image = Image.new("RGBA", (width, height))
    image.putdata([((x * 7 + y) % 256, (y * 3) % 256, (x ^ y) % 256, 255 if (x + y) % 11 else 128)
                   for y in range(height) for x in range(width)])
    draw = ImageDraw.Draw(image)
    for _ in range(12):
        x, y = rng.randrange(width), rng.randrange(height)
        draw.ellipse([x, y, x + rng.randrange(5, 60), y + rng.randrange(5, 60)],
                     fill=tuple(rng.randrange(256) for _ in range(4)))
    noise = Image.frombytes("RGBA", (width, height), rng.randbytes(width * height * 4))
    return Image.blend(image, noise, 0.15)


def encoded(image, format):
    buffer = io.BytesIO()
    image.convert("RGB" if format == "JPEG" else "RGBA").save(buffer, format=format)
    return buffer.getvalue()


def digest(value):
    return hashlib.sha256(value if isinstance(value, bytes) else repr(value).encode()).hexdigest()[:16]


def main():
    inputs = {
        f"{w}x{h}-{format}": encoded(photo_like(w, h, w * h), format)
        for (w, h) in [(1, 1), (3, 7), (333, 200), (640, 360), (257, 1031)]
        for format in ["PNG", "JPEG"]
    }
    for name, data in inputs.items():
        for options in [{}, {"need_adjust": "resize"}, {"proportion": "16:9"}, {"fill_color": (10, 20, 30)}]:
            for percent in [10, 37.5]:
                out = framekit.Framekit(**options).adjust_size(data, return_origin_ratio=True, expand_percent=percent)
                print(f"adjust_size {name} {options} {percent}: {digest(out[0])} {out[1]}")
        ratios = aspectra.ImageAspectra()
        print(f"aspectra {name}: {ratios.get_raw_simple_ratio(data)} {ratios.get_approx_simple_ratio(data)}")
    image = photo_like(300, 170, 1)
    print(f"lumen: {digest(lumen.LumenImageScale(image).start().tobytes())}")
    print(f"image_resize: {digest(resize.image_resize(image, 640, 640, (9, 8, 7)).tobytes())}")
    for ratio in ["16:9", "1:1", "21:9", "auto", "3:1", "100000000000000000000:1", "7:3"]:
        for tier in ["1k", "2k", "4k"]:
            print(f"calc_size {ratio} {tier}: {tessel.TesselSizeCalculator.calc_size(ratio, tier)}")
    calc = tessel.TesselSizeCalculator
    # Multiples near the native multiply's overflow as well as small ones.
    for value in [1e300, -1e300, 2.0**62, 2.0**52, -(2.0**52), 12345.5, -0.5]:
        for multiple in [3, 2**11, 2**40, 2**62]:
            print(f"round/floor {value} {multiple}: {calc.round_to_multiple(value, multiple)} "
                  f"{calc.floor_to_multiple(value, multiple)}")


if __name__ == "__main__":
    main()
