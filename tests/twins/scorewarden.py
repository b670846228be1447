from pathlib import Path
import sys
import logging

logging.basicConfig(stream=sys.stdout, level=logging.INFO)
PYLINT_SCORE_LINE_STARTS_WITH = "Your code has been rated at"
log = logging.getLogger(__name__)


def _is_module_message(text):
    """Whether a stripped line has Pylint's layout of a message about a module named
    without a path, `<module>:<line>:<column>: <id>: <text>`: the module without ":",
    line and column decimal numbers, the id one capital letter A-Z and four decimal
    digits. Such a line is a message line although it holds no ".py:"."""
    module, colon, rest = text.partition(":")
    if not module or not colon:
        return False
    number, colon, rest = rest.partition(":")
    if not colon or not number.isdecimal():
        return False
    number, colon, rest = rest.partition(":")
    if not colon or not number.isdecimal():
        return False
    # rest is " <id>: <text>"
    letter, digits = rest[1:2], rest[2:6]
    return (rest.startswith(" ") and letter.isascii() and letter.isupper()
            and digits.isdecimal() and rest.startswith(": ", 6))


class Scorewarden:
    def __init__(self, report):
        self.file_path = Path(report)
        if self.file_path.exists():
            return
        raise FileNotFoundError(
            f"File {str(self.file_path)} not found. Current Path: {str(Path.cwd())}")

    def validate_pylint_report(self):
        """ Analyses a pylint report searching for Error or Failure codes and retrieves the final score """
        qa_value = "NA"
        with self.file_path.open() as f:
            content = f.readlines()
        for line in content:
            if PYLINT_SCORE_LINE_STARTS_WITH in line:
                qa_value = self.extract_quality_value(line)
                break
            if ".py:" in line or _is_module_message(line.strip()):
                self.raise_if_error_or_failure(line)
        return qa_value

    @staticmethod
    def extract_quality_value(line):
        return line.strip(PYLINT_SCORE_LINE_STARTS_WITH).split(" ")[0].split("/10")[0]

    @staticmethod
    def raise_if_error_or_failure(line):
        """
        Codes correspond to a category of the check:
            C - convention related checks
            R - refactoring related checks
            W - various warnings
            E - errors, for probable bugs in the code
            F - fatal, if an error occurred which prevented pylint from doing further processing.

        e.g of the type of lines that we will receive --> <file_path><file>.py:1:0: C0114: Missing module docstring

        Args:
            line (string): Pylint message to review

        Return:
            Raises ValueError if an Error or a Fatal message was found
        """
        stripped = line.strip()
        if ".py:" in stripped:
            # line, column, then the id after the first ".py:": a drive letter shifts nothing
            code = stripped.split(".py:", 1)[1].split(":")[2]
        else:
            code = stripped.split(":")[3]
        if any(["F" in code, "E" in code]):
            raise ValueError("Found error or failure code in pylint code quality report: " + code)
