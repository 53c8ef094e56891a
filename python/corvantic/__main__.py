import sys

from corvantic.cli import main

sys.exit(main())
