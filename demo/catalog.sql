-- Demo catalog tables of the application database: two catalog trees, the nodes
-- assigned to users, and USERNODE, which the index manager rewrites per user.
-- Only these three tables are dropped and recreated; other tables of app.db stay.
BEGIN;

DROP TABLE IF EXISTS USERNODE;
DROP TABLE IF EXISTS CATALOGNODEBYUSER;
DROP TABLE IF EXISTS CATALOGNODE;

CREATE TABLE CATALOGNODE (
    NODEID       INTEGER NOT NULL PRIMARY KEY,
    PARENTNODEID INTEGER NULL,
    CATALOGID    INTEGER NOT NULL,
    NODENAME     VARCHAR(200) NOT NULL
);
-- Children of a level, and the walk up from a node.
CREATE INDEX IX_CATALOGNODE_PARENT ON CATALOGNODE (PARENTNODEID);
CREATE INDEX IX_CATALOGNODE_CATALOG ON CATALOGNODE (CATALOGID, NODEID);

CREATE TABLE CATALOGNODEBYUSER (
    USERID    NVARCHAR(100) NOT NULL,
    CATALOGID INTEGER NOT NULL,
    NODEID    INTEGER NOT NULL,
    LEVEL     SMALLINT NOT NULL,
    ISPROFILE INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IX_CATALOGNODEBYUSER_USER ON CATALOGNODEBYUSER (USERID, CATALOGID);

CREATE TABLE USERNODE (
    USERID    NVARCHAR(100) NOT NULL,
    CATALOGID INTEGER NOT NULL,
    NODEID    INTEGER NOT NULL
);
CREATE INDEX IX_USERNODE_USER ON USERNODE (USERID);

-- Catalog 1: products.
INSERT INTO CATALOGNODE (NODEID, PARENTNODEID, CATALOGID, NODENAME) VALUES
    (100, NULL, 1, 'Products'),
    (110, 100,  1, 'Hardware'),
    (111, 110,  1, 'Laptops'),
    (112, 110,  1, 'Monitors'),
    (113, 111,  1, 'Ultrabooks'),
    (120, 100,  1, 'Software'),
    (121, 120,  1, 'Office'),
    (122, 120,  1, 'Security'),
    (130, 100,  1, 'Services'),
    (131, 130,  1, 'Training');

-- Catalog 2: regions.
INSERT INTO CATALOGNODE (NODEID, PARENTNODEID, CATALOGID, NODENAME) VALUES
    (200, NULL, 2, 'Regions'),
    (210, 200,  2, 'Europe'),
    (211, 210,  2, 'North'),
    (212, 210,  2, 'South'),
    (220, 200,  2, 'Americas'),
    (221, 220,  2, 'North America');

-- admin sees all of both catalogs (level 0).
-- alice: Hardware (1) and, below Software, Security (2); Ultrabooks (3) lies under
--        Hardware and adds nothing of its own.
-- o'connor: Europe, plus a profile row that takes no part.
-- bob: profile rows only, so he is not recomputed.
INSERT INTO CATALOGNODEBYUSER (USERID, CATALOGID, NODEID, LEVEL, ISPROFILE) VALUES
    ('admin',    1, 100, 0, 0),
    ('admin',    2, 200, 0, 0),
    ('alice',    1, 110, 1, 0),
    ('alice',    1, 122, 2, 0),
    ('alice',    1, 113, 3, 0),
    ('alice',    2, 221, 2, 0),
    ('o''connor', 2, 210, 1, 0),
    ('o''connor', 1, 100, 0, 1),
    ('bob',      1, 130, 1, 1);

COMMIT;
