"""Stand-in services that tests and demos talk to over loopback HTTP."""
