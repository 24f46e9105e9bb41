"""pytest plugin for the run under memcheck, which is tens of times slower:
no deadline for hypothesis' examples, and fewer of them."""

from hypothesis import settings

settings.register_profile("memcheck", deadline=None, max_examples=10)
settings.load_profile("memcheck")
