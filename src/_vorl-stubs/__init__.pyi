from . import extractor as extractor

__version__: str
