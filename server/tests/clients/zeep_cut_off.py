"""zeep, knowing only the WSDL the server serves, against streamed answers
(StreamedAnswerTest): the test component's Pieces answered whole, then the
same call failing after its answer began, which must raise in zeep and never
come back as a short result.

Usage: zeep_cut_off.py ENDPOINT_URL TEXT COUNT FAIL_AFTER STATUS
Prints "whole<TAB>pieces<TAB>characters" and "cut<TAB>the exception's class";
exit status 1 when the cut answer was taken for a result.
"""
import sys

import zeep


def main():
    url, text = sys.argv[1], sys.argv[2]
    count, fail_after, status = (int(value) for value in sys.argv[3:6])
    client = zeep.Client(url + "?wsdl")
    whole = client.service.Pieces(text=text, count=count, whole=0, failAfter=-1, status=status)
    print(f"whole\t{whole.written}\t{len(whole.result)}")
    try:
        cut = client.service.Pieces(text=text, count=count, whole=0, failAfter=fail_after, status=status)
    except Exception as error:  # whichever layer noticed, zeep's or its transport's
        print(f"cut\t{type(error).__module__}.{type(error).__name__}")
        return 0
    print(f"cut\tanswered as whole: {cut.written} pieces, {len(cut.result or '')} characters")
    return 1


if __name__ == "__main__":
    sys.exit(main())
