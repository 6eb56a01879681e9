CREATE TABLE IF NOT EXISTS package (
    id integer primary key,
    name text not null,
    version TEXT NOT NULL DEFAULT '0'
);
CREATE UNIQUE INDEX IF NOT EXISTS i_package ON package(name);
