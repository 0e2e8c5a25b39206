# Parses every statement of a file with sqlglot's T-SQL dialect (Debian's
# python3-sqlglot), the second grammar, for what node-sql-parser's lacks;
# statements are separated by a line "-- statement NAME". Prints each
# statement that does not parse and exits 1.
#   python3 tsql_parse.py FILE
import re
import sys

import sqlglot
from sqlglot.errors import ErrorLevel

text = open(sys.argv[1], encoding='utf-8').read()
failed = parsed = 0
for part in re.split(r'^-- statement ', text, flags=re.M)[1:]:
    name, _, sql = part.partition('\n')
    try:
        sqlglot.parse(sql, read='tsql', error_level=ErrorLevel.RAISE)
        parsed += 1
    except Exception as e:  # sqlglot's errors have no common base before 11
        failed += 1
        print(f'{name}: {str(e).splitlines()[0]}\n  {sql.strip()}')
print(f'{parsed} statements parsed, {failed} not')
sys.exit(1 if failed else 0)
