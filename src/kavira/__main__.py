import sys

from kavira.cli import main

sys.exit(main())
