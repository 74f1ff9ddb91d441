// The OPC UA server the tests run against. Its address space mirrors the shape of the embedded
// simulation: nested folders, branch names with blanks, dots and a single character, variables of
// every type and arrays, read-only and write-only variables, a sine and a counter changing every
// 100 ms, variables with Uncertain and Bad status, and a folder of 1,200 variables.
//
//   node server.js --port N
// prints "listening <url>" once it accepts connections; SIGTERM stops it.

"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const {
  OPCUAServer,
  OPCUACertificateManager,
  Variant,
  DataType,
  VariantArrayType,
  StatusCodes,
  SecurityPolicy,
  MessageSecurityMode,
  LocalizedText,
} = require("node-opcua");

const args = process.argv.slice(2);
const port = Number(args[args.indexOf("--port") + 1] || 4840);
// --load K: a folder "Load" of K Double variables, all changing every 100 ms (for throughput runs).
const load = args.includes("--load") ? Number(args[args.indexOf("--load") + 1]) : 0;
// --secure: only Sign and SignAndEncrypt endpoints of Basic256Sha256, Aes128_Sha256_RsaOaep and
// Aes256_Sha256_RsaPss, no anonymous login; the user "operator" with the password "secret-42", and
// users with a certificate.
const secure = args.includes("--secure");
// --distrust-clients: a client's certificate is accepted only when trusted (none is, here).
const distrustClients = args.includes("--distrust-clients");
// --shutdown-delay MS: how long ahead SIGUSR1 announces the shutdown (10 s unless given).
const shutdownDelay = args.includes("--shutdown-delay") ? Number(args[args.indexOf("--shutdown-delay") + 1]) : 10000;

// Certificates go to a temporary folder, never under the home directory.
const pki = fs.mkdtempSync(path.join(os.tmpdir(), "vexa32-ua-pki-"));
function cleanUp() {
  fs.rmSync(pki, { recursive: true, force: true });
}

const scalars = [
  ["Boolean", DataType.Boolean, true],
  ["SByte", DataType.SByte, -5],
  ["Byte", DataType.Byte, 200],
  ["Int16", DataType.Int16, -1234],
  ["UInt16", DataType.UInt16, 54321],
  ["Int32", DataType.Int32, -123456],
  ["UInt32", DataType.UInt32, 3000000000],
  ["Int64", DataType.Int64, [1, 0]], // [high, low]: 4294967296
  ["UInt64", DataType.UInt64, [2, 5]], // 8589934597
  ["Float", DataType.Float, 1.5],
  ["Double", DataType.Double, 3.25],
  ["String", DataType.String, "hello"],
  ["LocalizedText", DataType.LocalizedText, new LocalizedText({ text: "text", locale: "en" })],
  ["DateTime", DataType.DateTime, new Date(Date.UTC(2024, 0, 2, 3, 4, 5))],
];
const arrays = [
  ["BooleanArray", DataType.Boolean, [true, false, true]],
  ["Int32Array", DataType.Int32, [1, 2, 3]],
  ["DoubleArray", DataType.Double, [0.5, 1.5]],
  ["StringArray", DataType.String, ["a", "b"]],
];

async function main() {
  const server = new OPCUAServer({
    port,
    hostname: "127.0.0.1",
    serverCertificateManager: new OPCUACertificateManager({
      rootFolder: path.join(pki, "server"),
      automaticallyAcceptUnknownCertificate: !distrustClients,
    }),
    userCertificateManager: new OPCUACertificateManager({
      rootFolder: path.join(pki, "user"),
      automaticallyAcceptUnknownCertificate: true,
    }),
    securityPolicies: secure
      ? [SecurityPolicy.Basic256Sha256, SecurityPolicy.Aes128_Sha256_RsaOaep, SecurityPolicy.Aes256_Sha256_RsaPss]
      : [SecurityPolicy.None],
    securityModes: secure ? [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt] : [MessageSecurityMode.None],
    allowAnonymous: !secure,
    userManager: {
      isValidUser: (userName, password) => userName === "operator" && password === "secret-42",
    },
    buildInfo: {
      productName: "VEXA32 test server",
      manufacturerName: "VEXA32 tests",
      softwareVersion: "2.182.2",
      buildNumber: "7",
    },
  });
  await server.initialize();
  const addressSpace = server.engine.addressSpace;
  const ns = addressSpace.getOwnNamespace();
  const objects = addressSpace.rootFolder.objects;
  const folder = (parent, name, id) => ns.addFolder(parent, { browseName: name, nodeId: "s=" + id });
  const withValue = (v, value, dataType) => {
    v.setValueFromSource(new Variant({ dataType, value, arrayType: VariantArrayType.Scalar }));
    return v;
  };

  const simulation = folder(objects, "Simulation", "Simulation");
  const sine = ns.addVariable({
    componentOf: simulation,
    browseName: "Sine",
    nodeId: "s=Simulation.Sine",
    dataType: "Double",
    minimumSamplingInterval: 100,
  });
  const counter = ns.addVariable({
    componentOf: simulation,
    browseName: "Counter",
    nodeId: "s=Simulation.Counter",
    dataType: "UInt32",
    minimumSamplingInterval: 100,
  });
  let ticks = 0;
  const tick = () => {
    ticks += 1;
    withValue(sine, Math.sin(ticks / 10), DataType.Double);
    withValue(counter, ticks, DataType.UInt32);
  };
  tick();
  const timer = setInterval(tick, 100);

  // A read/write variable; an array when array is true.
  const writable = (parent, name, nodeId, type, array) =>
    ns.addVariable({
      componentOf: parent,
      browseName: name,
      nodeId: "s=" + nodeId,
      dataType: DataType[type],
      ...(array ? { valueRank: 1, arrayDimensions: [0] } : {}),
      minimumSamplingInterval: 100,
      accessLevel: "CurrentRead | CurrentWrite",
      userAccessLevel: "CurrentRead | CurrentWrite",
    });

  // Every type twice: "Types" for the reading tests, "Writable" for the writing ones, so tests
  // that run at the same time do not see each other's writes.
  for (const group of ["Types", "Writable"]) {
    const parent = folder(objects, group, group);
    for (const [name, type, value] of scalars) withValue(writable(parent, name, group + "." + name, type, false), value, type);
    for (const [name, type, value] of arrays) {
      writable(parent, name, group + "." + name, type, true).setValueFromSource(
        new Variant({ dataType: type, arrayType: VariantArrayType.Array, value }),
      );
    }
  }

  // One variable for each test that writes through the control or the monitor.
  const scratch = folder(objects, "Scratch", "Scratch");
  for (const [name, type] of [["Control", DataType.Int16], ["Monitor", DataType.UInt16], ["Subscribed", DataType.Double]]) {
    withValue(writable(scratch, name, "Scratch." + name, type, false), 0, type);
  }

  const access = folder(objects, "Access", "Access");
  const readOnly = ns.addVariable({
    componentOf: access,
    browseName: "ReadOnly",
    nodeId: "s=Access.ReadOnly",
    dataType: "Int32",
    minimumSamplingInterval: 100,
    accessLevel: "CurrentRead",
    userAccessLevel: "CurrentRead",
  });
  withValue(readOnly, 42, DataType.Int32);
  const writeOnly = ns.addVariable({
    componentOf: access,
    browseName: "WriteOnly",
    nodeId: "s=Access.WriteOnly",
    dataType: "Int32",
    minimumSamplingInterval: 100,
    accessLevel: "CurrentWrite",
    userAccessLevel: "CurrentWrite",
  });
  withValue(writeOnly, 0, DataType.Int32);

  const quality = folder(objects, "Quality", "Quality");
  const uncertain = ns.addVariable({
    componentOf: quality,
    browseName: "Uncertain",
    nodeId: "s=Quality.Uncertain",
    dataType: "Double",
    minimumSamplingInterval: 100,
  });
  uncertain.setValueFromSource(new Variant({ dataType: DataType.Double, value: 1.25 }), StatusCodes.UncertainLastUsableValue);
  const bad = ns.addVariable({
    componentOf: quality,
    browseName: "Bad",
    nodeId: "s=Quality.Bad",
    dataType: "Double",
    minimumSamplingInterval: 100,
  });
  bad.setValueFromSource(new Variant({ dataType: DataType.Double, value: 0 }), StatusCodes.BadSensorFailure);

  const blanks = folder(objects, "Branch With Blanks", "Branch With Blanks");
  const dotted = folder(blanks, "Dotted.Branch", "Branch With Blanks.Dotted.Branch");
  const single = folder(dotted, "X", "Branch With Blanks.Dotted.Branch.X");
  withValue(
    ns.addVariable({ componentOf: single, browseName: "Leaf", nodeId: "s=Deep.Leaf", dataType: "Int16", minimumSamplingInterval: 100 }),
    7,
    DataType.Int16,
  );

  const many = folder(objects, "Many", "Many");
  for (let i = 0; i < 1200; i += 1) {
    const name = "V" + String(i).padStart(4, "0");
    withValue(
      ns.addVariable({ componentOf: many, browseName: name, nodeId: "s=Many." + name, dataType: "Int32", minimumSamplingInterval: 100 }),
      i,
      DataType.Int32,
    );
  }

  const loadVariables = [];
  if (load > 0) {
    const loadFolder = folder(objects, "Load", "Load");
    for (let i = 0; i < load; i += 1) {
      loadVariables.push(
        ns.addVariable({ componentOf: loadFolder, browseName: "V" + i, nodeId: "s=Load.V" + i, dataType: "Double", minimumSamplingInterval: 100 }),
      );
    }
  }
  let loadTick = 0;
  const loadTimer = setInterval(() => {
    loadTick += 1;
    for (let i = 0; i < loadVariables.length; i += 1) {
      loadVariables[i].setValueFromSource(new Variant({ dataType: DataType.Double, value: loadTick + i / 1e6 }));
    }
  }, 100);

  await server.start();
  process.stdout.write("listening " + server.getEndpointUrl() + "\n");

  const stop = async () => {
    clearInterval(timer);
    clearInterval(loadTimer);
    await server.shutdown(0);
    cleanUp();
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  // SIGUSR1: announce a shutdown, as an administrator would (state Shutdown, a reason).
  process.on("SIGUSR1", () => {
    server.engine.setShutdownReason("maintenance");
    server.shutdown(shutdownDelay).then(() => {
      clearInterval(timer);
      cleanUp();
      process.exit(0);
    });
  });
  process.on("SIGINT", stop);
}

main().catch((err) => {
  process.stderr.write("the test server failed: " + (err && err.stack ? err.stack : err) + "\n");
  cleanUp();
  process.exit(1);
});
