import sys

from webhook_demo.cli import main

sys.exit(main())
