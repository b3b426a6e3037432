// Second independent reader for the engine's tests: prints a table of an Access file in the
// same shape as `mdb-export -d US -R RS -Q`: a header line, then one record per row, fields
// separated by 0x1F, records by 0x1E. Booleans print as 1/0 and nulls as nothing, like
// mdbtools; separators inside values print as <RS> and <US>. Without a table name it prints the user tables, one per line.
// --password=PWD (anywhere) opens a password-encrypted file.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const args = process.argv.slice(2);
const option = args.find((a) => a.startsWith("--password="));
const [file, table] = args.filter((a) => a !== option);
const password = option === undefined ? undefined : option.slice("--password=".length);
const reader = new MDBReader(readFileSync(file), { password });
if (table === undefined) {
  for (const name of reader.getTableNames()) process.stdout.write(name + "\n");
} else {
  const t = reader.getTable(table);
  const names = t.getColumnNames();
  const out = [names.join("\x1f")];
  for (const row of t.getData()) {
    out.push(
      names
        .map((n) => {
          const v = row[n];
          if (v === null || v === undefined) return "";
          if (typeof v === "boolean") return v ? "1" : "0";
          if (typeof v === "string")
            return v.replaceAll("\x1e", "<RS>").replaceAll("\x1f", "<US>");
          if (typeof v === "number" || typeof v === "bigint") return String(v);
          return "?";
        })
        .join("\x1f"),
    );
  }
  process.stdout.write(out.join("\x1e"));
}
