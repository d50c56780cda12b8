// Reads gantrix-completion.ps1 the way the package check needs it, without PowerShell:
//
//   node check.mjs FILE.ps1
//
// Parses it with a PowerShell grammar and fails (status 1, one line per fault) on a syntax error,
// on a character outside ASCII (Windows PowerShell 5.1 reads a file without a byte order mark in
// the ANSI code page), or when the completer is not registered as a native one for both names
// of the tool. Otherwise prints each word list the completer offers, one a line:
//
//   commands ping id ...
//   prefix debug
//   channels all x ...
//   directions fwd f ...
//   switches --help --version ...
//   progress plain
//   formats raw ihex srec
//
// The grammar is not PowerShell's own parser: it catches unbalanced brackets, unterminated
// strings and malformed statements, not every error PowerShell would report.
import fs from 'fs';
import Parser from 'tree-sitter';
import PowerShell from 'tree-sitter-powershell';

const lists = ['commands', 'prefix', 'session', 'channels', 'directions', 'switches', 'progress', 'formats'];
const file = process.argv[2];
const text = fs.readFileSync(file, 'latin1');
const faults = [];

text.split('\n').forEach((line, i) => {
  const col = line.search(/[^\x00-\x7f]/);
  if (col >= 0) faults.push(`${file}:${i + 1}:${col + 1}: a character outside ASCII`);
});

const parser = new Parser();
parser.setLanguage(PowerShell);
const root = parser.parse(text).rootNode;

function* walk(node) {
  yield node;
  for (const child of node.children) yield* walk(child);
}
const at = (node) => `${file}:${node.startPosition.row + 1}:${node.startPosition.column + 1}`;
const strings = (node) =>
  [...walk(node)].filter((n) => n.type === 'string_literal').map((n) => n.text.slice(1, -1));

for (const node of walk(root)) {
  if (node.isError) faults.push(`${at(node)}: syntax error`);
  else if (node.isMissing) faults.push(`${at(node)}: syntax error, missing ${node.type}`);
}

// Register-ArgumentCompleter -Native -CommandName NAMES -ScriptBlock {...}
const registrations = [...walk(root)].filter((n) =>
  n.type === 'command' && n.childForFieldName('command_name')?.text === 'Register-ArgumentCompleter');
if (registrations.length !== 1) {
  faults.push(`${file}: ${registrations.length} Register-ArgumentCompleter commands, not 1`);
} else {
  const elements = registrations[0].childForFieldName('command_elements')?.namedChildren ?? [];
  const args = elements.filter((n) => n.type !== 'command_argument_sep');
  const param = (name) => args.findIndex((n) => n.type === 'command_parameter' && n.text === name);
  if (param('-Native') < 0) faults.push(`${at(registrations[0])}: the completer is not -Native`);
  const names = param('-CommandName') < 0 ? [] : strings(args[param('-CommandName') + 1]);
  if (names.sort().join(' ') !== 'gantrix gantrix.exe') {
    faults.push(`${at(registrations[0])}: -CommandName is [${names.join(' ')}],` +
      ' not gantrix and gantrix.exe');
  }
}

// $name = @('word', ...): each list assigned once, in the completer.
const found = {};
for (const node of walk(root)) {
  if (node.type !== 'assignment_expression') continue;
  const name = node.child(0).text.replace(/^\$/, '');
  if (!lists.includes(name)) continue;
  if (name in found) faults.push(`${at(node)}: $${name} is assigned twice`);
  found[name] = strings(node.childForFieldName('value'));
}
for (const name of lists) {
  if (!found[name]?.length) faults.push(`${file}: no word list $${name}`);
}

if (faults.length) {
  console.log(faults.join('\n'));
  process.exit(1);
}
for (const name of lists) console.log(`${name} ${found[name].join(' ')}`);
