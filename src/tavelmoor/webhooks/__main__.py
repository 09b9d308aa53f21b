import sys

from tavelmoor.webhooks.cli import main

sys.exit(main())
