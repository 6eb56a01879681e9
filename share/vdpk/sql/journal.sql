CREATE TABLE IF NOT EXISTS journal (
    id integer primary key,
    package text not null,
    version text not null,
    operation text not null check (operation IN ('install', 'upgrade', 'removal')),
    temp_dir text not null default '',
    creates blob not null default x'',
    replaces blob not null default x'',
    removes blob not null default x'',
    directories blob not null default x'',
    committed integer not null default 0
);
