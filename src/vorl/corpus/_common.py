"""What the corpus modules share."""
import os
from typing import Union

PathLike = Union[str, "os.PathLike[str]"]
