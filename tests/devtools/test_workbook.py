import pytest

from vantrel_master.devtools.workbook import (
    AddressError,
    InMemoryWorkbook,
    column_letters,
    column_number,
    parse_cell,
    parse_range,
)


@pytest.mark.parametrize("letters, number", [("A", 1), ("Z", 26), ("AA", 27), ("AZ", 52), ("ZZ", 702),
                                             ("AAA", 703), ("XFD", 16384)])
def test_column_letters_round_trip(letters, number):
    assert column_number(letters) == number and column_letters(number) == letters


def test_address_parsing():
    assert parse_cell("b7") == (7, 2) and parse_cell("$B$7") == (7, 2)
    assert parse_range("C3:A1") == ((1, 1), (3, 3))
    assert parse_range("D4") == ((4, 4), (4, 4))
    for bad in ["", "7B", "A0", "XFE1", "A1048577", "A1:B2:C3", "Sheet1!A1", None]:
        with pytest.raises(AddressError):
            parse_range(bad)


@pytest.mark.parametrize("request_, text", [
    ({"action": "get_value", "sheet": "Nope", "address": "A1"}, "Unknown sheet"),
    ({"action": "get_value", "sheet": "Sheet1", "address": "A0"}, "out of the sheet"),
    ({"action": "get_value", "sheet": "Sheet1", "address": "R1C1"}, "Invalid cell address"),
    ({"action": "set_range", "sheet": "Sheet1", "address": "A1:B2", "values": [[1, 2, 3]]}, "do not fit"),
    ({"action": "set_range", "sheet": "Sheet1", "address": "A1", "values": [[1], [2, 3]]}, "same length"),
    ({"action": "set_range", "sheet": "Sheet1", "address": "XFD1", "values": [[1, 2]]}, "beyond the sheet"),
    ({"action": "set_range", "sheet": "Sheet1", "address": "A1", "values": "x"}, "list of rows"),
    ({"action": "get_range", "sheet": "Sheet1", "address": "A1:XFD1048576"}, "larger than"),
    ({"action": "format_disk"}, "Unknown action"),
])
def test_request_errors_are_answers_not_exceptions(request_, text):
    book = InMemoryWorkbook()
    answer = book.handle(request_)
    assert set(answer) == {"error"} and text in answer["error"]
    assert book.sheets == {"Sheet1": {}}
