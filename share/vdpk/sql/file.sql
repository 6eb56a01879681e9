CREATE TABLE IF NOT EXISTS file (
    package_id integer not null references package,
    name text not null
);
CREATE INDEX IF NOT EXISTS i_file_by_name ON file(name);
CREATE UNIQUE INDEX IF NOT EXISTS i_file_by_package_name ON file(package_id, name);
CREATE INDEX IF NOT EXISTS i_file_by_package ON file(package_id);
