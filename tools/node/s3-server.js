// A local S3 server that checks Signature V4 (default keys S3RVER/S3RVER),
// for the upload service's tests:
//
//   node s3-server.js DIRECTORY BUCKET
//
// Listens on a free loopback port, creates BUCKET, prints
// "listening http://127.0.0.1:PORT" once it accepts requests, and stops on
// SIGINT or SIGTERM. The package ships no command of its own.
'use strict';

const S3rver = require('@20minutes/s3rver');

const [directory, bucket] = process.argv.slice(2);
if (!directory || !bucket) {
  console.error('usage: node s3-server.js DIRECTORY BUCKET');
  process.exit(2);
}

const server = new S3rver({
  address: '127.0.0.1',
  port: 0,
  silent: true,
  directory,
  // Path-style requests only: bucket names never come from the Host header.
  vhostBuckets: false,
  configureBuckets: [{ name: bucket }],
});

server.run().then(
  ({ port }) => console.log(`listening http://127.0.0.1:${port}`),
  (error) => {
    console.error(error);
    process.exit(1);
  },
);
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => server.close().then(() => process.exit(0)));
