// Validates GitHub Actions workflows with GitHub's own parser, as the host
// would on a push: prints each error and exits 1 on any.
// Usage: node validate.mjs PARSER_FOLDER WORKFLOW...
import { register } from "node:module";
import { readFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

// The parser imports its JSON schema without `with { type: "json" }`, which
// Node.js 20 refuses; this load hook adds the attribute for .json files.
const addJsonType = `export async function load(url, context, next) {
  return next(url, url.endsWith(".json")
    ? { ...context, importAttributes: { ...context.importAttributes, type: "json" } }
    : context);
}`;
register("data:text/javascript," + encodeURIComponent(addJsonType));

const [parserFolder, ...workflows] = process.argv.slice(2);
const entry = join(parserFolder, "node_modules/@actions/workflow-parser/dist/index.js");
const { parseWorkflow, NoOperationTraceWriter } = await import(pathToFileURL(entry).href);

let errors = 0;
for (const file of workflows) {
  const content = readFileSync(file, "utf8");
  const result = parseWorkflow({ name: file, content }, new NoOperationTraceWriter());
  for (const error of result.context.errors.getErrors()) {
    console.error(error.message);
    ++errors;
  }
}
console.log(`${workflows.length} workflow(s), ${errors} error(s)`);
process.exit(errors === 0 ? 0 : 1);
