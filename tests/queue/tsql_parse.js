// Parses every statement of a file with node-sql-parser's Transact-SQL
// grammar; statements are separated by a line "-- statement NAME". "?"
// parameters become @p1, @p2, ... as T-SQL names them. Prints each statement
// that does not parse and exits 1.
//   node tsql_parse.js MODULE_DIR FILE
const path = require('path');
const fs = require('fs');
const { Parser } = require(path.join(process.argv[2], 'node-sql-parser'));
const parser = new Parser();
const text = fs.readFileSync(process.argv[3], 'utf8');
let failed = 0, parsed = 0;
for (const part of text.split(/^-- statement /m).slice(1)) {
  const newline = part.indexOf('\n');
  const name = part.slice(0, newline);
  let n = 0;
  const sql = part.slice(newline + 1).replace(/\?/g, () => '@p' + ++n);
  try {
    parser.astify(sql, { database: 'TransactSQL' });
    ++parsed;
  } catch (e) {
    ++failed;
    console.log(name + ': ' + String(e.message).split('\n')[0] + '\n  ' + sql.trim());
  }
}
console.log(parsed + ' statements parsed, ' + failed + ' not');
process.exit(failed ? 1 : 0);
